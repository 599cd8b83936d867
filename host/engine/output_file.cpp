// Writing an output beside its destination and publishing it with one rename.
#include "output_file.h"

#include <cerrno>

#include "file_system.h"
#include "interrupt.h"
#include "terminal.h"

namespace txhost {

std::unique_ptr<OutputFile> OutputFile::Create(const std::string& path, std::string* error) {
  if (path == "-") {
    UseBinaryStdout();
    return std::unique_ptr<OutputFile>(new OutputFile(path, "", stdout));
  }
  PathFacts facts;
  if (!InspectPath(path, &facts, error)) return nullptr;
  if (facts.is_special) {
    // A device or a pipe cannot be replaced, only written to.
    errno = 0;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
      *error = path + ": " + ErrnoText(errno != 0 ? errno : EIO);
      return nullptr;
    }
    return std::unique_ptr<OutputFile>(new OutputFile(path, "", file));
  }
  std::string temporary;
  std::FILE* file = CreateFileBeside(path, &temporary, error);
  if (file == nullptr) return nullptr;
  return std::unique_ptr<OutputFile>(new OutputFile(path, temporary, file));
}

OutputFile::OutputFile(std::string path, std::string temporary, std::FILE* file)
    : path_(std::move(path)), temporary_(std::move(temporary)), file_(file) {
  if (!temporary_.empty()) {
    RegisterTemporary(temporary_.c_str());
    std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
  }
}

OutputFile::~OutputFile() {
  Close();
  if (!temporary_.empty() && !published_) {
    RemoveFile(temporary_.c_str());
    UnregisterTemporary(temporary_.c_str());
  }
}

void OutputFile::Write(std::string_view bytes) {
  if (error_ != 0 || bytes.empty()) return;
  errno = 0;
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
    error_ = errno != 0 ? errno : EIO;
  }
}

void OutputFile::Flush() {
  if (error_ != 0 || file_ == nullptr) return;
  errno = 0;
  if (std::fflush(file_) != 0) error_ = errno != 0 ? errno : EIO;
}

bool OutputFile::Failed(std::string* error) {
  *error = path_ + ": " + ErrnoText(error_);
  return false;
}

void OutputFile::Close() {
  if (file_ == nullptr || file_ == stdout) return;
  errno = 0;
  if (std::fclose(file_) != 0 && error_ == 0) error_ = errno != 0 ? errno : EIO;
  file_ = nullptr;
}

bool CheckOutputPaths(const std::vector<NamedPath>& inputs, const std::vector<NamedPath>& outputs,
                      std::string* error) {
  std::vector<std::pair<std::string, const NamedPath*>> seen;  // identity, and who has it
  for (const NamedPath& input : inputs) {
    PathFacts facts;
    if (input.path.empty() || input.path == "-") continue;
    if (InspectPath(input.path, &facts, error) && facts.exists) {
      seen.emplace_back(facts.identity, &input);
    }
  }
  const NamedPath* standard_output = nullptr;
  for (const NamedPath& output : outputs) {
    if (output.path.empty()) continue;
    const std::string named = output.option + " " + output.path;
    if (output.path == "-") {
      if (standard_output != nullptr) {
        *error = named + ": " + standard_output->option + " already writes to standard output";
        return false;
      }
      standard_output = &output;
      continue;
    }
    PathFacts facts;
    if (!InspectPath(output.path, &facts, error)) {
      *error = output.option + " " + *error;
      return false;
    }
    if (facts.is_directory) {
      *error = named + ": " + ErrnoText(EISDIR);
      return false;
    }
    if (facts.is_special) continue;  // /dev/null may take several outputs
    for (const auto& [identity, owner] : seen) {
      if (identity != facts.identity) continue;
      *error = named + ": is the same file as " + owner->option + " " + owner->path +
               "; nothing was written";
      return false;
    }
    seen.emplace_back(facts.identity, &output);
  }
  return true;
}

bool OutputFile::Finish(std::string* error) {
  if (error_ == 0 && file_ != nullptr) {
    errno = 0;
    if (std::fflush(file_) != 0) error_ = errno != 0 ? errno : EIO;
  }
  Close();
  return error_ == 0 || Failed(error);
}

bool OutputFile::Publish(std::string* error) {
  if (temporary_.empty()) return true;
  if (!MoveIntoPlace(temporary_, path_, error)) return false;
  published_ = true;
  UnregisterTemporary(temporary_.c_str());
  return true;
}

}  // namespace txhost
