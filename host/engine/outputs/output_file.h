// One output of a run, all or nothing: written to a new file beside its destination and put in
// place only when the run succeeds. What was at the destination stays untouched until then.
#ifndef TXSCREEN_HOST_ENGINE_OUTPUTS_OUTPUT_FILE_H_
#define TXSCREEN_HOST_ENGINE_OUTPUTS_OUTPUT_FILE_H_

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace txhost {

class OutputFile {
 public:
  // The path "-" is standard output, and a device, pipe or file of the system's own directories
  // (/dev/stdout, say) is the file itself: each is written as the run goes, never replaced. Any
  // other path is written beside the file its links lead to. Null and "path: reason" when the
  // file beside the destination cannot be created.
  static std::unique_ptr<OutputFile> Create(const std::string& path, std::string* error);
  // Removes the temporary file unless it was published.
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

  const std::string& path() const { return path_; }
  // Whether what is written goes straight where the path leads (standard output, a device).
  bool direct() const { return temporary_.empty(); }
  // Whether a write or flush has failed.
  bool failed() const { return error_ != 0; }
  // What the file's creation removed beside it: files of earlier runs that were killed.
  const std::vector<std::string>& leftovers_removed() const { return leftovers_removed_; }

 private:
  friend bool PublishAll(const std::vector<OutputFile*>& files, std::string* error);

  OutputFile(std::string path, std::string destination, std::string temporary, std::FILE* file);
  bool Failed(std::string* error);
  void Close();

  std::string path_;
  std::string destination_;  // the file the path's links lead to
  std::string temporary_;    // empty for a direct output
  std::FILE* file_;
  int error_ = 0;  // errno of the first failure
  bool published_ = false;
  std::vector<std::string> leftovers_removed_;
};

// Puts every finished file in place, or none: while one is renamed the old versions are kept,
// and a failed step puts back every one already replaced. Other processes publishing into the
// same directories wait, so that the outputs of two runs are never mixed. False with what failed
// and what is where.
bool PublishAll(const std::vector<OutputFile*>& files, std::string* error);

// A file a command reads or writes, with the option that named it ("--out", "transactions").
struct NamedPath {
  std::string option;
  std::string path;
};

// Refuses, with a message that names the option, the path and the reason, an output that is one
// of the inputs or another output (the same file however it is spelt, links followed), that is a
// directory, or whose directory does not exist; also more than one output on standard output
// ("-"). Nothing is created or changed. Empty paths are not in use and are skipped.
bool CheckOutputPaths(const std::vector<NamedPath>& inputs, const std::vector<NamedPath>& outputs,
                      std::string* error);

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_OUTPUTS_OUTPUT_FILE_H_
