// Lists of texts, written `@PATH` where a rule compares a literal text with a column: a
// blocklist of accounts, the users an allowlist trusts. A check with a list fires when its rule
// fires for any value of the list.
//
// A list file holds one value a line. Blank lines and lines that start with '#' are skipped; a
// line ends at LF or CRLF, and a UTF-8 byte-order mark before the first line is dropped. Nothing
// else is trimmed or changed: a value is compared byte for byte, as the rules compare texts. A
// list must hold at least one value, and no NUL byte or line that is not UTF-8.
#ifndef TXSCREEN_HOST_ENGINE_RULES_TEXT_LIST_H_
#define TXSCREEN_HOST_ENGINE_RULES_TEXT_LIST_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace txhost {

class TextList {
 public:
  // The list `name` (as the rule set writes it after '@') from the file at `path`. Null, and the
  // reason naming the file (and the line, when one is at fault), when it cannot be used.
  static std::shared_ptr<const TextList> Read(const std::string& name, const std::string& path,
                                              std::string* problem);
  // A list given as its values, as a notebook keeps it. Null and the reason when it cannot be used.
  static std::shared_ptr<const TextList> FromValues(const std::string& name,
                                                    const std::vector<std::string>& values,
                                                    std::string* problem);

  const std::string& name() const { return name_; }
  // The file it was read from; empty for a list given as values.
  const std::string& file() const { return file_; }
  // Its distinct values; a value written twice counts once.
  size_t size() const { return starts_.size(); }
  // Value `i`, in the order first written, ended by a NUL as the rules take it.
  const char* value(size_t i) const { return bytes_.data() + starts_[i]; }
  std::string_view view(size_t i) const { return std::string_view(value(i), Length(i)); }
  // The place of the value `text`, or -1: one look-up, whatever the list's size.
  int64_t Find(std::string_view text) const;
  // Whether the two lists hold the same values, in whatever order.
  bool SameValues(const TextList& other) const;
  // How many of this list's values `other` lacks.
  size_t CountMissingFrom(const TextList& other) const;
  // The bytes the list takes in memory.
  size_t MemoryBytes() const;

 private:
  TextList(std::string name, std::string file) : name_(std::move(name)), file_(std::move(file)) {}
  size_t Length(size_t i) const {
    return (i + 1 < starts_.size() ? starts_[i + 1] : bytes_.size()) - starts_[i] - 1;
  }
  // Adds `text` unless it is there already.
  void Add(std::string_view text);
  void Grow();

  std::string name_, file_;
  std::string bytes_;             // every value, each followed by a NUL
  std::vector<uint32_t> starts_;  // where each value starts in bytes_
  // Open addressing: each slot holds a value's place plus one, or 0 when empty.
  std::vector<uint32_t> slots_;
};

// The lists one rule set names, each read once however many checks name it: from a file, its
// path taken from the rule set's folder unless it is absolute, or as given. Safe to share
// between threads.
class ListShelf {
 public:
  explicit ListShelf(const std::string& rule_set_path);
  // `list` stands for its name, before any file.
  void Give(std::shared_ptr<const TextList> list);
  // The list `name` stands for; null and the reason when it cannot be used.
  std::shared_ptr<const TextList> Find(const std::string& name, std::string* problem);
  // Every list found so far, in the order of their names.
  std::vector<std::shared_ptr<const TextList>> Found() const;

 private:
  struct Entry {
    std::shared_ptr<const TextList> list;
    std::string problem;
  };
  std::string folder_;  // the rule set's, with its separator; empty for the working directory
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<const TextList>> given_;
  std::map<std::string, Entry> found_;
};

// The bytes of the file at `path`, whole. False and "path: reason" when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error);

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_RULES_TEXT_LIST_H_
