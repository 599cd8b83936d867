// The built libraries as a host sees them: what they export, what they import, and that they
// load, resolve and unload as often as a host likes.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>

#include "binary_image.h"
#include "built_library.h"
#include "dynamic_library.h"
#include "rule_catalog.h"

namespace {

using testing_support::BinaryImage;
using testing_support::BuiltLibraryPath;

// What the catalog says a library exports, by name with its ordinal. The .def files that fix the
// exports are checked against this through the built images.
std::map<std::string, unsigned> CatalogExports(const std::string& library) {
  std::map<std::string, unsigned> exports;
  for (const txhost::RuleSpec& rule : txhost::RuleCatalog()) {
    if (library == rule.library) exports[rule.name] = rule.ordinal;
  }
  return exports;
}

bool IsPe(const BinaryImage& image) { return image.format.rfind("PE", 0) == 0; }

// The format a Windows build of these tests must find its libraries in: a host loads only DLLs of
// its own width.
#if defined(_WIN64)
constexpr char kWindowsFormat[] = "PE32+ x86-64";
#else
constexpr char kWindowsFormat[] = "PE32 i386";
#endif

TEST(LibraryLoaderTest, ExportsExactlyTheCatalogsRulesWithTheirOrdinals) {
  for (const std::string& library : txhost::CatalogLibraries()) {
    SCOPED_TRACE(library);
    const std::map<std::string, unsigned> expected = CatalogExports(library);
    ASSERT_FALSE(expected.empty());
    BinaryImage image = testing_support::ReadBinaryImage(BuiltLibraryPath(library));
    ASSERT_TRUE(image.valid) << image.error;
    auto loaded = testing_support::LoadBuiltLibrary(library);
    for (const auto& [name, ordinal] : expected) {
      EXPECT_NE(loaded->Find(name.c_str()), nullptr) << name;
      if (IsPe(image)) {
        EXPECT_EQ(loaded->FindOrdinal(ordinal), loaded->Find(name.c_str())) << name;
      }
    }
    if (IsPe(image)) {
      EXPECT_EQ(image.format, kWindowsFormat);
      EXPECT_EQ(image.exports, expected);
      EXPECT_TRUE(image.unnamed_ordinals.empty());
    } else {
      std::set<std::string> names, expected_names;  // ELF has no ordinals: the names alone
      for (const auto& entry : image.exports) names.insert(entry.first);
      for (const auto& entry : expected) expected_names.insert(entry.first);
      EXPECT_EQ(names, expected_names);
    }
  }
}

// The functions a header of ours declares with the client library's calling convention: each
// "OCI_CALL name(".
std::set<std::string> DeclaredFunctions(const std::string& header) {
  std::ifstream in(std::string(TXSCREEN_SOURCE_DIR) + "/" + header);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string marker = "OCI_CALL ";
  std::set<std::string> names;
  for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) {
    size_t begin = at + marker.size(), end = begin;
    while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) ||
                                 text[end] == '_')) {
      ++end;
    }
    if (end > begin && end < text.size() && text[end] == '(') {
      names.insert(text.substr(begin, end - begin));
    }
  }
  return names;
}

// The stand-in's export list is its .def, on both platforms; its headers must declare exactly
// what that list exports.
TEST(LibraryLoaderTest, TheStandInExportsExactlyWhatItsHeadersDeclare) {
  std::set<std::string> declared = DeclaredFunctions("common/oci_api.h");
  ASSERT_TRUE(declared.count("OCIStmtExecute"));
  for (const std::string& name : DeclaredFunctions("ocisim/ocisim.h")) declared.insert(name);
  ASSERT_TRUE(declared.count("ocisim_reset"));
#if defined(_WIN32)
  const std::string stand_in = "oci";
#else
  const std::string stand_in = "ocisim";
#endif
  BinaryImage image = testing_support::ReadBinaryImage(BuiltLibraryPath(stand_in));
  ASSERT_TRUE(image.valid) << image.error;
  std::set<std::string> exported;
  for (const auto& entry : image.exports) exported.insert(entry.first);
  EXPECT_EQ(exported, declared);
}

TEST(LibraryLoaderTest, ImportsOnlyWhatAPlainWindowsMachineHasBesideTheClientLibrary) {
  const std::set<std::string> allowed = {"KERNEL32.dll", "USER32.dll", "msvcrt.dll", "oci.dll"};
  for (const std::string& library : txhost::CatalogLibraries()) {
    BinaryImage image = testing_support::ReadBinaryImage(BuiltLibraryPath(library));
    ASSERT_TRUE(image.valid) << image.error;
    if (!IsPe(image)) {
      GTEST_SKIP() << "an ELF object's needs are the system's shared libraries; this checks the "
                      "Windows DLLs";
    }
    for (const auto& entry : image.imports) {
      EXPECT_EQ(allowed.count(entry.first), 1u) << library << " imports " << entry.first;
    }
    // The client functions come from oci.dll by name, each one the project declares: a host puts
    // the real client library beside it, and that exports them by name.
    const std::vector<std::string>& client = image.imports["oci.dll"];
    EXPECT_FALSE(client.empty()) << library;
    const std::set<std::string> declared = DeclaredFunctions("common/oci_api.h");
    for (const std::string& function : client) {
      EXPECT_EQ(declared.count(function), 1u) << library << " imports " << function;
    }
  }
}

TEST(LibraryLoaderTest, LoadsAndUnloadsTwoThousandTimes) {
  for (const std::string& library : txhost::CatalogLibraries()) {
    const std::string path = BuiltLibraryPath(library);
    const std::string rule = CatalogExports(library).begin()->first;
    for (int cycle = 0; cycle < 2000; ++cycle) {
      std::string error;
      auto loaded = txhost::DynamicLibrary::Open(path, &error);
      ASSERT_TRUE(loaded) << library << " cycle " << cycle << ": " << error;
      ASSERT_NE(loaded->Find(rule.c_str()), nullptr);
    }
  }
}

}  // namespace
