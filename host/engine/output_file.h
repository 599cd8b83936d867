// One output of a run, all or nothing: written to a new file beside its destination and put in
// place only when the run succeeds. What was at the destination stays untouched until then.
#ifndef TXSCREEN_HOST_ENGINE_OUTPUT_FILE_H_
#define TXSCREEN_HOST_ENGINE_OUTPUT_FILE_H_

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace txhost {

class OutputFile {
 public:
  // The path "-" is standard output, written as it goes. Null and "path: reason" when the file
  // beside the destination cannot be created.
  static std::unique_ptr<OutputFile> Create(const std::string& path, std::string* error);
  // Removes the temporary file unless Publish succeeded.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Every write is checked; after the first failure nothing more is written and Finish fails.
  void Write(std::string_view bytes);
  // Hands what was written to the system; a failure is kept like a failed write.
  void Flush();
  // Flushes and closes. False with "path: reason" on any failure, the first failed write
  // included. Finishing every output before publishing any keeps a failure from leaving some
  // published and others not.
  bool Finish(std::string* error);
  // Renames the finished file into place.
  bool Publish(std::string* error);

  const std::string& path() const { return path_; }

 private:
  OutputFile(std::string path, std::string temporary, std::FILE* file);
  bool Failed(std::string* error);
  void Close();

  std::string path_;
  std::string temporary_;  // empty for standard output
  std::FILE* file_;
  int error_ = 0;  // errno of the first failure
  bool published_ = false;
};

// A file a command reads or writes, with the option that named it ("--out", "transactions").
struct NamedPath {
  std::string option;
  std::string path;
};

// Refuses, with a message that names the option, the path and the reason, an output that is one
// of the inputs or another output (the same file however it is spelt), that is a directory, or
// whose directory does not exist; also more than one output on standard output ("-"). Nothing is
// created or changed. Empty paths are not in use and are skipped.
bool CheckOutputPaths(const std::vector<NamedPath>& inputs, const std::vector<NamedPath>& outputs,
                      std::string* error);

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_OUTPUT_FILE_H_
