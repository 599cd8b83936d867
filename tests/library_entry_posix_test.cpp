// The per-thread block of libtxscreen.so: static TLS for every thread, and a refused load when
// no static TLS space is left.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "binary_image.h"
#include "built_library.h"
#include "dynamic_library.h"

namespace {

using testing_support::BuiltLibraryPath;

TEST(LibraryEntryPosixTest, AsksForA256ByteStaticTlsBlock) {
  auto image = testing_support::ReadBinaryImage(BuiltLibraryPath("txscreen"));
  ASSERT_TRUE(image.valid) << image.error;
  EXPECT_EQ(image.tls_size, 256u);
  EXPECT_TRUE(image.static_tls) << "without DF_STATIC_TLS the block would never be allocated";
}

// Loads copies of a library holding 64 bytes of static TLS until the loader refuses one, then
// tries the rule library. Exits 0 when the rule library was refused for want of static TLS.
[[noreturn]] void ExhaustStaticTlsThenLoad() {
  std::string filler = txhost::DynamicLibrary::ProgramDirectory() + "/libstatic_tls_filler.so";
  std::ifstream source(filler, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(source)), {});
  char directory[] = "/tmp/txscreen-tls-XXXXXX";
  if (bytes.empty() || mkdtemp(directory) == nullptr) std::_Exit(3);
  for (int copy = 0; copy < 1000; ++copy) {
    std::string path = std::string(directory) + "/filler" + std::to_string(copy) + ".so";
    std::ofstream(path, std::ios::binary) << bytes;
    bool loaded = dlopen(path.c_str(), RTLD_NOW) != nullptr;
    unlink(path.c_str());
    if (!loaded) break;
  }
  rmdir(directory);
  void* library = dlopen(BuiltLibraryPath("txscreen").c_str(), RTLD_NOW);
  const char* reason = library == nullptr ? dlerror() : "";
  std::_Exit(library == nullptr && std::strstr(reason, "static TLS") != nullptr ? 0 : 1);
}

TEST(LibraryEntryPosixTest, LoadIsRefusedWhenNoStaticTlsIsLeft) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(ExhaustStaticTlsThenLoad(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
