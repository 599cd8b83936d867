// Scratch files for tests that drive the host through files, as a user does.
#ifndef TXSCREEN_TESTS_SUPPORT_TEMP_FILES_H_
#define TXSCREEN_TESTS_SUPPORT_TEMP_FILES_H_

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

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

// The files a run left behind in `directory` while writing its outputs: they must all be gone.
inline std::vector<std::string> LeftoverTemporaries(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    std::string name = entry.path().filename().string();
    if (name.find(".txhost-") != std::string::npos) names.push_back(name);
  }
  return names;
}

}  // namespace testing_support

#endif  // TXSCREEN_TESTS_SUPPORT_TEMP_FILES_H_
