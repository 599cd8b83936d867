// What a built library file exports and imports, read from the file itself.
#ifndef TXSCREEN_TESTS_SUPPORT_BINARY_IMAGE_H_
#define TXSCREEN_TESTS_SUPPORT_BINARY_IMAGE_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testing_support {

struct BinaryImage {
  bool valid = false;
  std::string error;
  std::string format;  // "PE32 i386", "PE32+ x86-64" or "ELF64 x86-64"
  // Exported names with their ordinals (0 where the format has none), sorted by name.
  std::map<std::string, unsigned> exports;
  // Exports that have an ordinal but no name (PE only).
  std::vector<unsigned> unnamed_ordinals;
  // The libraries it needs, with the functions it takes from each (PE) or none listed (ELF).
  std::map<std::string, std::vector<std::string>> imports;
  // ELF: the size of the thread-local block, and whether the object asks for static TLS.
  uint64_t tls_size = 0;
  bool static_tls = false;
};

BinaryImage ReadBinaryImage(const std::string& path);

}  // namespace testing_support

#endif  // TXSCREEN_TESTS_SUPPORT_BINARY_IMAGE_H_
