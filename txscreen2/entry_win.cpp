// Library entry of txscreen2.dll: nothing to set up, so no load ever fails on its account.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
