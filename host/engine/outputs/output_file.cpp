// Writing an output beside its destination and publishing it with one rename.
#include "output_file.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "file_system.h"
#include "interrupt.h"
#include "terminal.h"

namespace txhost {

std::unique_ptr<OutputFile> OutputFile::Create(const std::string& path, std::string* error) {
  if (path == "-") {
    UseBinaryStdout();
    return std::unique_ptr<OutputFile>(new OutputFile(path, path, "", stdout));
  }
  PathFacts facts;
  if (!InspectPath(path, &facts, error)) return nullptr;
  if (facts.is_special) {
    // Appended to, never truncated: behind /dev/stdout may be a file that the shell opened.
    errno = 0;
    std::FILE* file = std::fopen(path.c_str(), "ab");
    if (file == nullptr) {
      *error = path + ": " + ErrnoText(errno != 0 ? errno : EIO);
      return nullptr;
    }
    return std::unique_ptr<OutputFile>(new OutputFile(path, path, "", file));
  }
  std::vector<std::string> leftovers = LeftoverFiles(facts.target);
  for (const std::string& leftover : leftovers) RemoveFile(leftover.c_str());
  std::string temporary;
  std::FILE* file = CreateFileBeside(facts.target, &temporary, error);
  if (file == nullptr) return nullptr;
  std::unique_ptr<OutputFile> output(new OutputFile(path, facts.target, temporary, file));
  output->leftovers_removed_ = std::move(leftovers);
  return output;
}

OutputFile::OutputFile(std::string path, std::string destination, std::string temporary,
                       std::FILE* file)
    : path_(std::move(path)),
      destination_(std::move(destination)),
      temporary_(std::move(temporary)),
      file_(file) {
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

namespace {

// One output's place while a set is published: where it goes and what was there.
struct Placing {
  std::string destination;
  std::string kept;  // the old version, kept aside; empty when there was none or it could not be
  bool existed = false;
  bool placed = false;
};

// Puts back what each placed output replaced; names those it could not.
std::string PutBack(std::vector<Placing>* placings) {
  std::string lost;
  for (Placing& placing : *placings) {
    if (!placing.placed) continue;
    std::string ignored;
    bool restored = !placing.existed;
    if (!placing.existed) {
      RemoveFile(placing.destination.c_str());
    } else if (!placing.kept.empty() &&
               MoveIntoPlace(placing.kept, placing.destination, &ignored)) {
      placing.kept.clear();
      restored = true;
    }
    if (!restored) lost += (lost.empty() ? "" : ", ") + placing.destination;
  }
  return lost;
}

}  // namespace

namespace {

// A seam for the tests: with TXHOST_TEST_PAUSE_BETWEEN_RENAMES naming a file, a publish of more
// than one output creates it after the first rename and waits (at most 20 s) until it is gone,
// so that a test can send a signal while some outputs are in place and others are not.
void PauseBetweenRenamesForTests() {
  const char* marker = std::getenv("TXHOST_TEST_PAUSE_BETWEEN_RENAMES");
  if (marker == nullptr || *marker == '\0') return;
  std::ofstream(marker) << "paused\n";
  for (int waited = 0; waited < 2000 && std::ifstream(marker).good(); ++waited) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

bool PublishAll(const std::vector<OutputFile*>& files, std::string* error) {
  std::vector<OutputFile*> renamed;
  std::vector<Placing> placings;
  std::vector<std::string> directories;
  for (OutputFile* file : files) {
    if (file->direct()) continue;
    renamed.push_back(file);
    placings.push_back({file->destination_, "", false, false});
    directories.push_back(DirectoryOf(file->destination_));
  }
  PublishingScope publishing;
  PublishLock lock(directories);
  std::string failure;
  for (size_t i = 0; i < renamed.size(); ++i) {
    Placing& placing = placings[i];
    PathFacts facts;
    std::string reason;
    placing.existed = InspectPath(placing.destination, &facts, &reason) && facts.exists;
    if (placing.existed && !facts.is_directory) {
      KeepAside(placing.destination, &placing.kept, &reason);
    }
    if (!MoveIntoPlace(renamed[i]->temporary_, placing.destination, &reason)) {
      failure = renamed[i]->path() + ": " + reason.substr(reason.find(": ") + 2);
      break;
    }
    placing.placed = true;
    if (i == 0 && renamed.size() > 1) PauseBetweenRenamesForTests();
  }
  std::string lost = failure.empty() ? "" : PutBack(&placings);
  for (size_t i = 0; i < renamed.size(); ++i) {
    if (!placings[i].kept.empty()) RemoveFile(placings[i].kept.c_str());
    if (failure.empty()) {
      renamed[i]->published_ = true;
      UnregisterTemporary(renamed[i]->temporary_.c_str());
    }
  }
  if (failure.empty()) {
    MarkPublished();
    return true;
  }
  *error = failure + (lost.empty() ? "; the outputs put in place before it were put back"
                                   : "; the old version of " + lost + " could not be put back");
  return false;
}

}  // namespace txhost
