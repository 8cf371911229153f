// The program's only user interface: one modal message box telling the user
// how the repair went, and the flow of a whole run.
#pragma once

#include "platform/windows_api.h"
#include "repair/registry_api.h"
#include "repair/repair.h"

// The shape of user32's MessageBoxA, so that tests can stand in for it.
using MessageBoxAFunction = int(WINAPI*)(HWND owner, LPCSTR text, LPCSTR caption, UINT style);

// Shows the text for `outcome` under the caption "Korvane Update", with an OK
// button and the information icon, and waits until the user dismisses it.
// The box's result, and any failure to show it, are ignored.
void ShowOutcomeNotice(RepairOutcome outcome, MessageBoxAFunction messageBox);

// One run of the program: repairs once, then tells the user. Returns the exit
// code, 0 whatever the outcome.
int RunKorvaneUpdate(const RegistryApi& registry, MessageBoxAFunction messageBox);
