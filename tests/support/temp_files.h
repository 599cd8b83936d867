// Scratch files for tests that drive the host through files, as a user does.
#ifndef TXSCREEN_TESTS_SUPPORT_TEMP_FILES_H_
#define TXSCREEN_TESTS_SUPPORT_TEMP_FILES_H_

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace testing_support {

inline std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "txscreen_" + name;
}

// Writes `text` to the scratch file `name` and gives its path.
inline std::string WriteTemp(const std::string& name, const std::string& text) {
  std::string path = TempPath(name);
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace testing_support

#endif  // TXSCREEN_TESTS_SUPPORT_TEMP_FILES_H_
