// The module's entry routine. Loading must never fail because of the module
// itself, and nothing is to be done at thread or process attach or detach:
// static objects come up and go down through the runtime, before and after
// this routine.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
