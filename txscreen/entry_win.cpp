// Library entry of txscreen.dll: a TLS slot for the library and a zero-filled block per thread.
//
// Nothing in the library reads or writes the block; the entry only creates and frees it. The
// loader serialises every call of the entry, and each thread touches only its own slot value.
#include <windows.h>

namespace {

constexpr SIZE_T kScratchBlockSize = 256;

// Set once, at process attach. TLS_OUT_OF_INDEXES until then, and for good after a refused load.
DWORD ScratchSlot = TLS_OUT_OF_INDEXES;

void GiveThreadItsBlock() {
  // A thread whose allocation fails keeps a null slot; nothing is reported and the thread runs on.
  if (void* block = LocalAlloc(LMEM_ZEROINIT, kScratchBlockSize)) {
    TlsSetValue(ScratchSlot, block);
  }
}

void FreeThreadBlock() {
  // Threads that ran before the load never got a block; their slot value reads as null.
  if (void* block = TlsGetValue(ScratchSlot)) {
    LocalFree(block);
    TlsSetValue(ScratchSlot, nullptr);
  }
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      ScratchSlot = TlsAlloc();
      // No index left: refuse the load. The loader then sends a process detach, which the guard
      // below turns away.
      if (ScratchSlot == TLS_OUT_OF_INDEXES) return FALSE;
      GiveThreadItsBlock();
      return TRUE;
    case DLL_THREAD_ATTACH:
      GiveThreadItsBlock();
      return TRUE;
    case DLL_THREAD_DETACH:
      if (ScratchSlot != TLS_OUT_OF_INDEXES) FreeThreadBlock();
      return TRUE;
    case DLL_PROCESS_DETACH:
      if (ScratchSlot == TLS_OUT_OF_INDEXES) return TRUE;
      FreeThreadBlock();
      // On FreeLibrary (reserved is null) the index goes back: a host that loads and unloads the
      // library a thousand times would otherwise run out of indexes. At process exit
      // (reserved is non-null) the process takes everything with it.
      if (reserved == nullptr) {
        TlsFree(ScratchSlot);
        ScratchSlot = TLS_OUT_OF_INDEXES;
      }
      return TRUE;
    default:
      return TRUE;
  }
}
