// The smallest program that does what a user sees ours do: one information
// message box, then exit. `make bench` measures ours against it.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

int WINAPI WinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPSTR /*commandLine*/, int /*show*/) {
    MessageBoxA(nullptr, "Baseline", "Baseline", MB_OK | MB_ICONINFORMATION);
    return 0;
}
