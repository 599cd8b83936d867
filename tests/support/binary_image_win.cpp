// Reading a PE32 or PE32+ file's export and import tables straight from the file.
#include <windows.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "binary_image.h"

namespace testing_support {
namespace {

class PeFile {
 public:
  explicit PeFile(std::vector<char> bytes) : bytes_(std::move(bytes)) {}

  template <class T>
  const T* At(size_t offset) const {
    return offset + sizeof(T) <= bytes_.size() ? reinterpret_cast<const T*>(&bytes_[offset])
                                               : nullptr;
  }
  // The file offset of a relative virtual address, through the section table.
  size_t Offset(DWORD rva) const {
    for (const IMAGE_SECTION_HEADER* section : sections_) {
      if (rva >= section->VirtualAddress &&
          rva < section->VirtualAddress + section->SizeOfRawData) {
        return rva - section->VirtualAddress + section->PointerToRawData;
      }
    }
    return bytes_.size();
  }
  template <class T>
  const T* AtRva(DWORD rva) const {
    return At<T>(Offset(rva));
  }
  std::string TextAt(DWORD rva) const {
    size_t offset = Offset(rva);
    if (offset >= bytes_.size()) return "";
    return std::string(&bytes_[offset], strnlen(&bytes_[offset], bytes_.size() - offset));
  }

  std::vector<const IMAGE_SECTION_HEADER*> sections_;

 private:
  std::vector<char> bytes_;
};

}  // namespace

namespace {

// The file's format, its section table, and its export and import tables, for the NT headers of
// either width: PE32 (`Headers` IMAGE_NT_HEADERS32, 4-byte thunks) or PE32+ (IMAGE_NT_HEADERS64,
// 8-byte thunks whose top bit marks an import by ordinal).
template <class Headers, class Thunk, Thunk kOrdinalFlag>
void ReadTables(PeFile& file, size_t headers_at, BinaryImage* image) {
  const auto* nt = file.At<Headers>(headers_at);
  if (nt == nullptr) return;
  size_t sections =
      headers_at + offsetof(Headers, OptionalHeader) + nt->FileHeader.SizeOfOptionalHeader;
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
    file.sections_.push_back(
        file.At<IMAGE_SECTION_HEADER>(sections + i * sizeof(IMAGE_SECTION_HEADER)));
  }

  const auto& exports_entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (const auto* exports = exports_entry.VirtualAddress
                                ? file.AtRva<IMAGE_EXPORT_DIRECTORY>(exports_entry.VirtualAddress)
                                : nullptr) {
    std::vector<bool> named(exports->NumberOfFunctions, false);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
      const auto* name_rva = file.AtRva<DWORD>(exports->AddressOfNames + 4 * i);
      const auto* index = file.AtRva<WORD>(exports->AddressOfNameOrdinals + 2 * i);
      if (name_rva == nullptr || index == nullptr) continue;
      image->exports[file.TextAt(*name_rva)] = exports->Base + *index;
      if (*index < named.size()) named[*index] = true;
    }
    for (DWORD i = 0; i < exports->NumberOfFunctions; ++i) {
      const auto* address = file.AtRva<DWORD>(exports->AddressOfFunctions + 4 * i);
      if (address != nullptr && *address != 0 && !named[i]) {
        image->unnamed_ordinals.push_back(exports->Base + i);
      }
    }
  }

  const auto& imports_entry = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (DWORD at = imports_entry.VirtualAddress; at != 0; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
    const auto* descriptor = file.AtRva<IMAGE_IMPORT_DESCRIPTOR>(at);
    if (descriptor == nullptr || descriptor->Name == 0) break;
    std::vector<std::string>& functions = image->imports[file.TextAt(descriptor->Name)];
    DWORD thunks =
        descriptor->OriginalFirstThunk ? descriptor->OriginalFirstThunk : descriptor->FirstThunk;
    for (DWORD thunk = thunks;; thunk += sizeof(Thunk)) {
      const auto* entry = file.AtRva<Thunk>(thunk);
      if (entry == nullptr || *entry == 0) break;
      if (*entry & kOrdinalFlag) {
        functions.push_back("#" + std::to_string(*entry & 0xffff));
      } else {
        functions.push_back(file.TextAt(static_cast<DWORD>(*entry) + 2));  // after the hint
      }
    }
  }
  image->valid = true;
}

}  // namespace

BinaryImage ReadBinaryImage(const std::string& path) {
  BinaryImage image;
  std::ifstream in(path, std::ios::binary);
  PeFile file(std::vector<char>(std::istreambuf_iterator<char>(in), {}));
  const auto* dos = file.At<IMAGE_DOS_HEADER>(0);
  // The signature and file header come first in both widths; the optional header's magic says
  // which width the rest has.
  const auto* nt = dos ? file.At<IMAGE_NT_HEADERS32>(dos->e_lfanew) : nullptr;
  if (nt == nullptr || dos->e_magic != IMAGE_DOS_SIGNATURE || nt->Signature != IMAGE_NT_SIGNATURE) {
    image.error = path + ": not a PE file";
    return image;
  }
  const WORD machine = nt->FileHeader.Machine, magic = nt->OptionalHeader.Magic;
  if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
    if (machine == IMAGE_FILE_MACHINE_AMD64) image.format = "PE32+ x86-64";
    ReadTables<IMAGE_NT_HEADERS64, ULONGLONG, IMAGE_ORDINAL_FLAG64>(file, dos->e_lfanew, &image);
  } else {
    if (machine == IMAGE_FILE_MACHINE_I386) image.format = "PE32 i386";
    ReadTables<IMAGE_NT_HEADERS32, DWORD, IMAGE_ORDINAL_FLAG32>(file, dos->e_lfanew, &image);
  }
  if (!image.valid) image.error = path + ": its headers are cut short";
  return image;
}

}  // namespace testing_support
