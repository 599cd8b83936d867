// Replacing one entry of a loaded module's import address table, for spying on a DLL's calls.
#ifndef TXSCREEN_HOST_PLATFORM_IMPORT_PATCH_WIN_H_
#define TXSCREEN_HOST_PLATFORM_IMPORT_PATCH_WIN_H_

#include <windows.h>

namespace txhost {

// Points `module`'s import of `function` from `dll` at `replacement` and gives the address it
// held, or null when the module does not import that function.
void* PatchImport(HMODULE module, const char* dll, const char* function, void* replacement);

}  // namespace txhost

#endif  // TXSCREEN_HOST_PLATFORM_IMPORT_PATCH_WIN_H_
