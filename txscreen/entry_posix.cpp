// Library entry of libtxscreen.so: a zero-filled 256-byte block for every thread.
//
// ELF has no per-module thread attach and detach, so the block is a thread_local array with the
// initial-exec TLS model. glibc then places it in every thread's static TLS, existing threads
// included, zero-filled, and releases it with the thread's own memory at thread end: nothing to
// allocate, nothing that can leak. When no static TLS space is left, dlopen refuses the library,
// which is exactly the refused load that an exhausted slot gives on Windows. A pthread key would
// need allocation on first use and a destructor, and could not make the load itself fail.
namespace {

__attribute__((tls_model("initial-exec"))) thread_local unsigned char ScratchSlot[256];

// Nothing reads or writes the block. Taking its address once at load is what makes the library
// ask for static TLS (the DF_STATIC_TLS flag); without any access the linker would leave the
// block to lazy, per-thread allocation on first use, which never comes.
__attribute__((constructor)) void ClaimScratchSlot() {
  const void* block = ScratchSlot;
  asm volatile("" : : "r"(block));
}

}  // namespace
