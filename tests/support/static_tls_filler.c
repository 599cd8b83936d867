/* A library that takes 64 bytes of static TLS at load, for using up the space in a test. */
__attribute__((tls_model("initial-exec"))) __thread unsigned char filler_block[64];

__attribute__((constructor)) static void ClaimFillerBlock(void) {
  const void* block = filler_block;
  __asm__ volatile("" : : "r"(block));
}
