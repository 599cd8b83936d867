// Scratch files for tests that drive the host through files, as a user does.
#ifndef TXSCREEN_TESTS_SUPPORT_TEMP_FILES_H_
#define TXSCREEN_TESTS_SUPPORT_TEMP_FILES_H_

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace testing_support {

inline std::string TempPath(const std::string& name) {
  return ::testing::TempDir() + "txscreen_" + name;
}

// A scratch directory of its own, empty, and its path.
inline std::string FreshDirectory(const std::string& name) {
  const std::string dir = TempPath(name);
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  return dir;
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

// A sink for the messages of a command run in the test's process: what it wrote, as text.
class CapturedMessages {
 public:
  // A file of its own in the test's scratch directory: tmpfile() on Windows would write to the
  // root of the current drive.
  CapturedMessages() {
    static int count = 0;
    path_ = TempPath("messages_" + std::to_string(++count) + ".txt");
    file_ = std::fopen(path_.c_str(), "w+b");
    if (file_ == nullptr) ADD_FAILURE() << path_ << ": cannot be created";
  }
  ~CapturedMessages() {
    if (file_ != nullptr) std::fclose(file_);
    std::remove(path_.c_str());
  }
  CapturedMessages(const CapturedMessages&) = delete;
  CapturedMessages& operator=(const CapturedMessages&) = delete;

  std::FILE* file() const { return file_ != nullptr ? file_ : stderr; }
  std::string Text() const {
    std::string text;
    if (file_ == nullptr) return text;
    std::fflush(file_);
    std::rewind(file_);
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file_)) > 0;) {
      text.append(buffer, got);
    }
    return text;
  }

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
};

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
