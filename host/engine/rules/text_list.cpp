// Reading list files and looking their values up.
#include "text_list.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>

#include "csv_split.h"
#include "file_system.h"
#include "json_line.h"

namespace txhost {
namespace {

// The places are kept in 32 bits, so the values may take up to 4 GiB.
constexpr size_t kMostBytes = std::numeric_limits<uint32_t>::max();

size_t HashOf(std::string_view text) { return std::hash<std::string_view>()(text); }

// What is wrong with one value, or null.
const char* ValueProblem(std::string_view text) {
  if (text.find('\0') != std::string_view::npos)
    return "holds a NUL byte, which no rule can be given";
  if (!IsUtf8(text)) return "is not UTF-8";
  return nullptr;
}

}  // namespace

bool ReadWholeFile(const std::string& path, std::string* bytes, std::string* error) {
  PathFacts facts;
  if (!InspectPath(path, &facts, error)) return false;
  int reason = !facts.exists ? ENOENT : facts.is_directory ? EISDIR : 0;
  std::ifstream in;
  if (reason == 0) {
    errno = 0;
    in.open(path, std::ios::binary);
    if (!in) reason = errno != 0 ? errno : EIO;
  }
  std::ostringstream content;
  if (reason == 0 && !(content << in.rdbuf()) && in.bad()) reason = EIO;
  if (reason != 0) {
    *error = path + ": " + ErrnoText(reason);
    return false;
  }
  *bytes = content.str();
  return true;
}

std::shared_ptr<const TextList> TextList::Read(const std::string& name, const std::string& path,
                                               std::string* problem) {
  std::string bytes;
  if (!ReadWholeFile(path, &bytes, problem)) return nullptr;
  if (bytes.compare(0, 3, kByteOrderMark) == 0) bytes.erase(0, 3);
  std::shared_ptr<TextList> list(new TextList(name, path));
  size_t number = 0;
  for (size_t at = 0; at < bytes.size();) {
    size_t end = std::min(bytes.find('\n', at), bytes.size());
    std::string_view line(bytes.data() + at, end - at);
    at = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line[0] == '#') continue;
    if (const char* wrong = ValueProblem(line)) {
      *problem = path + ":" + std::to_string(number) + ": the line " + wrong;
      return nullptr;
    }
    if (list->bytes_.size() + line.size() + 1 > kMostBytes) {
      *problem = path + ":" + std::to_string(number) + ": the list is over 4 GiB";
      return nullptr;
    }
    list->Add(line);
  }
  if (list->size() == 0) {
    *problem = path +
               ": the list holds no values; an empty list matches no row, which is "
               "seldom what a list is for";
    return nullptr;
  }
  return list;
}

std::shared_ptr<const TextList> TextList::FromValues(const std::string& name,
                                                     const std::vector<std::string>& values,
                                                     std::string* problem) {
  std::shared_ptr<TextList> list(new TextList(name, ""));
  for (size_t i = 0; i < values.size(); ++i) {
    if (const char* wrong = ValueProblem(values[i])) {
      *problem = "the list " + name + ": value " + std::to_string(i + 1) + " " + wrong;
      return nullptr;
    }
    if (list->bytes_.size() + values[i].size() + 1 > kMostBytes) {
      *problem = "the list " + name + " is over 4 GiB";
      return nullptr;
    }
    list->Add(values[i]);
  }
  if (list->size() == 0) {
    *problem = "the list " + name + " holds no values; an empty list matches no row";
    return nullptr;
  }
  return list;
}

void TextList::Add(std::string_view text) {
  if (Find(text) >= 0) return;
  if ((starts_.size() + 1) * 2 > slots_.size()) Grow();
  starts_.push_back(static_cast<uint32_t>(bytes_.size()));
  bytes_.append(text);
  bytes_.push_back('\0');
  const size_t mask = slots_.size() - 1;
  size_t slot = HashOf(text) & mask;
  while (slots_[slot] != 0) slot = (slot + 1) & mask;
  slots_[slot] = static_cast<uint32_t>(starts_.size());
}

// Doubles the table, keeping it at most half full so that a look-up probes few slots.
void TextList::Grow() {
  slots_.assign(std::max<size_t>(16, slots_.size() * 2), 0);
  const size_t mask = slots_.size() - 1;
  for (size_t i = 0; i < starts_.size(); ++i) {
    size_t slot = HashOf(view(i)) & mask;
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = static_cast<uint32_t>(i + 1);
  }
}

int64_t TextList::Find(std::string_view text) const {
  if (slots_.empty()) return -1;
  const size_t mask = slots_.size() - 1;
  for (size_t slot = HashOf(text) & mask; slots_[slot] != 0; slot = (slot + 1) & mask) {
    const size_t i = slots_[slot] - 1;
    if (view(i) == text) return static_cast<int64_t>(i);
  }
  return -1;
}

size_t TextList::CountMissingFrom(const TextList& other) const {
  size_t missing = 0;
  for (size_t i = 0; i < size(); ++i) missing += other.Find(view(i)) < 0;
  return missing;
}

bool TextList::SameValues(const TextList& other) const {
  return size() == other.size() && CountMissingFrom(other) == 0;
}

size_t TextList::MemoryBytes() const {
  return bytes_.capacity() + starts_.capacity() * sizeof(uint32_t) +
         slots_.capacity() * sizeof(uint32_t);
}

ListShelf::ListShelf(const std::string& rule_set_path) {
  const size_t slash = rule_set_path.find_last_of(kPathSeparators);
  if (slash != std::string::npos) folder_ = rule_set_path.substr(0, slash + 1);
}

void ListShelf::Give(std::shared_ptr<const TextList> list) {
  std::lock_guard<std::mutex> hold(mutex_);
  given_[list->name()] = std::move(list);
}

std::shared_ptr<const TextList> ListShelf::Find(const std::string& name, std::string* problem) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto found = found_.find(name);
  if (found == found_.end()) {
    Entry entry;
    auto given = given_.find(name);
    if (given != given_.end()) {
      entry.list = given->second;
    } else {
      entry.list =
          TextList::Read(name, IsAbsolutePath(name) ? name : folder_ + name, &entry.problem);
    }
    found = found_.emplace(name, std::move(entry)).first;
  }
  *problem = found->second.problem;
  return found->second.list;
}

std::vector<std::shared_ptr<const TextList>> ListShelf::Found() const {
  std::lock_guard<std::mutex> hold(mutex_);
  std::vector<std::shared_ptr<const TextList>> lists;
  for (const auto& [name, entry] : found_) {
    if (entry.list) lists.push_back(entry.list);
  }
  return lists;
}

}  // namespace txhost
