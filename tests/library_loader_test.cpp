// The built libraries as a host sees them: what they export, what they import, and that they
// load, resolve and unload as often as a host likes.
#include <gtest/gtest.h>

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

struct LibraryCase {
  const char* name;
  std::map<std::string, unsigned> exports;  // name and ordinal
};

const LibraryCase kLibraries[] = {
    {"txscreen",
     {{"SHARPINCREASE", 1},
      {"BADACCOUNT", 2},
      {"OVERCREDITLIMIT", 3},
      {"TESTCONN", 4},
      {"TESTDATE", 5},
      {"SPECIAL_USER", 6}}},
    {"txscreen2", {{"TESTMERCHANT", 1}, {"SAMEZIPCODE", 2}}},
};

bool IsPe(const BinaryImage& image) { return image.format.rfind("PE", 0) == 0; }

TEST(LibraryLoaderTest, ExportsExactlyTheRulesWithTheirOrdinals) {
  for (const LibraryCase& library : kLibraries) {
    BinaryImage image = testing_support::ReadBinaryImage(BuiltLibraryPath(library.name));
    ASSERT_TRUE(image.valid) << image.error;
    if (IsPe(image)) {
      EXPECT_EQ(image.format, "PE32 i386");
      EXPECT_EQ(image.exports, library.exports) << library.name;
      EXPECT_TRUE(image.unnamed_ordinals.empty()) << library.name;
    } else {
      std::set<std::string> names, expected;
      for (const auto& entry : image.exports) names.insert(entry.first);
      for (const auto& entry : library.exports) expected.insert(entry.first);
      EXPECT_EQ(names, expected) << library.name;
    }
  }
}

TEST(LibraryLoaderTest, ImportsOnlyWhatAPlainWindowsMachineHasBesideTheClientLibrary) {
  const std::set<std::string> allowed = {"KERNEL32.dll", "USER32.dll", "msvcrt.dll", "oci.dll"};
  for (const LibraryCase& library : kLibraries) {
    BinaryImage image = testing_support::ReadBinaryImage(BuiltLibraryPath(library.name));
    ASSERT_TRUE(image.valid) << image.error;
    if (!IsPe(image)) continue;  // an ELF object's needs are the system's shared libraries
    for (const auto& entry : image.imports) {
      EXPECT_EQ(allowed.count(entry.first), 1u) << library.name << " imports " << entry.first;
    }
  }
}

TEST(LibraryLoaderTest, ResolvesEveryCatalogRuleByName) {
  for (const LibraryCase& library : kLibraries) {
    auto loaded = testing_support::LoadBuiltLibrary(library.name);
    for (const auto& entry : library.exports) {
      EXPECT_NE(loaded->Find(entry.first.c_str()), nullptr) << entry.first;
      const txhost::RuleSpec* rule = txhost::FindRule(library.name, entry.first);
      ASSERT_NE(rule, nullptr) << entry.first;
      EXPECT_EQ(rule->ordinal, entry.second) << entry.first;
    }
  }
}

TEST(LibraryLoaderTest, LoadsAndUnloadsTwoThousandTimes) {
  for (const LibraryCase& library : kLibraries) {
    std::string path = BuiltLibraryPath(library.name);
    for (int cycle = 0; cycle < 2000; ++cycle) {
      std::string error;
      auto loaded = txhost::DynamicLibrary::Open(path, &error);
      ASSERT_TRUE(loaded) << library.name << " cycle " << cycle << ": " << error;
      ASSERT_NE(loaded->Find(library.exports.begin()->first.c_str()), nullptr);
    }
  }
}

}  // namespace
