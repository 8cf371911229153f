// The process entry: Windows' GUI start-up calls WinMain, and what it returns
// becomes the exit code.
#include "app/outcome_notice.h"

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*commandLine*/, int /*show*/) {
    // Arguments of any kind are ignored: every run does the same.
    return RunKorvaneUpdate(PlatformRegistryApi(), &MessageBoxA);
}
