// Reading an ELF64 file's dynamic symbols, needed libraries and TLS segment from the file.
#include <elf.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "binary_image.h"

namespace testing_support {

BinaryImage ReadBinaryImage(const std::string& path) {
  BinaryImage image;
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
  auto at = [&](size_t offset, size_t size) -> const char* {
    return offset + size <= bytes.size() ? &bytes[offset] : nullptr;
  };
  const auto* header = reinterpret_cast<const Elf64_Ehdr*>(at(0, sizeof(Elf64_Ehdr)));
  if (header == nullptr || std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 ||
      header->e_ident[EI_CLASS] != ELFCLASS64) {
    image.error = path + ": not an ELF64 file";
    return image;
  }
  if (header->e_machine == EM_X86_64) image.format = "ELF64 x86-64";
  auto section = [&](size_t index) {
    return reinterpret_cast<const Elf64_Shdr*>(
        at(header->e_shoff + index * sizeof(Elf64_Shdr), sizeof(Elf64_Shdr)));
  };
  auto text = [&](const Elf64_Shdr* strings, size_t offset) -> std::string {
    const char* start = strings ? at(strings->sh_offset + offset, 1) : nullptr;
    return start ? std::string(start) : "";
  };
  for (size_t i = 0; i < header->e_shnum; ++i) {
    const Elf64_Shdr* current = section(i);
    if (current == nullptr) break;
    const Elf64_Shdr* strings = section(current->sh_link);
    if (current->sh_type == SHT_DYNSYM) {
      for (size_t s = 0; s < current->sh_size / sizeof(Elf64_Sym); ++s) {
        const auto* symbol = reinterpret_cast<const Elf64_Sym*>(
            at(current->sh_offset + s * sizeof(Elf64_Sym), sizeof(Elf64_Sym)));
        if (symbol == nullptr || symbol->st_shndx == SHN_UNDEF) continue;
        int binding = ELF64_ST_BIND(symbol->st_info);
        if (binding != STB_GLOBAL && binding != STB_WEAK) continue;
        image.exports[text(strings, symbol->st_name)] = 0;
      }
    } else if (current->sh_type == SHT_DYNAMIC) {
      for (size_t d = 0; d < current->sh_size / sizeof(Elf64_Dyn); ++d) {
        const auto* entry = reinterpret_cast<const Elf64_Dyn*>(
            at(current->sh_offset + d * sizeof(Elf64_Dyn), sizeof(Elf64_Dyn)));
        if (entry == nullptr) break;
        if (entry->d_tag == DT_NEEDED) image.imports[text(strings, entry->d_un.d_val)];
        if (entry->d_tag == DT_FLAGS && (entry->d_un.d_val & DF_STATIC_TLS)) {
          image.static_tls = true;
        }
      }
    }
  }
  for (size_t i = 0; i < header->e_phnum; ++i) {
    const auto* segment = reinterpret_cast<const Elf64_Phdr*>(
        at(header->e_phoff + i * sizeof(Elf64_Phdr), sizeof(Elf64_Phdr)));
    if (segment != nullptr && segment->p_type == PT_TLS) image.tls_size = segment->p_memsz;
  }
  image.valid = true;
  return image;
}

}  // namespace testing_support
