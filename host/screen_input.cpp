// Opening the transactions and checking their header before any row is read.
#include "screen_input.h"

#include <algorithm>
#include <cerrno>
#include <set>

#include "file_system.h"
#include "terminal.h"

namespace txhost {
namespace {

int ColumnIndex(const std::vector<std::string>& header, const std::string& name) {
  auto it = std::find(header.begin(), header.end(), name);
  return it == header.end() ? -1 : static_cast<int>(it - header.begin());
}

// Empty when every column has a name of its own.
std::string HeaderProblem(const std::vector<std::string>& header) {
  std::set<std::string> seen;
  for (const std::string& column : header) {
    if (column.empty()) return "a column has no name";
    if (!seen.insert(column).second) return "column " + column + " appears twice";
  }
  return "";
}

bool OpenFile(const std::string& path, ScreenInput* input, std::string* error) {
  PathFacts facts;
  if (!InspectPath(path, &facts, error)) return false;
  if (!facts.exists) {
    *error = path + ": " + ErrnoText(ENOENT);
    return false;
  }
  if (facts.is_directory) {
    *error = path + ": " + ErrnoText(EISDIR);
    return false;
  }
  errno = 0;
  input->file.open(path, std::ios::binary | std::ios::ate);
  if (!input->file) {
    *error = path + ": " + ErrnoText(errno != 0 ? errno : EIO);
    return false;
  }
  input->total_bytes = static_cast<uint64_t>(std::max<std::streamoff>(0, input->file.tellg()));
  input->file.seekg(0);
  return true;
}

}  // namespace

std::unique_ptr<ScreenInput> OpenScreenInput(const std::string& path, const std::string& id_column,
                                             const std::string& label_column, std::string* error) {
  auto input = std::make_unique<ScreenInput>();
  input->name = path;
  if (path != "-" && !OpenFile(path, input.get(), error)) return nullptr;
  input->reader = path == "-" ? std::make_unique<CsvReader>(CsvReader::Source(ReadStandardInput))
                              : std::make_unique<CsvReader>(input->file);
  CsvRecord header;
  if (!input->reader->Next(&header)) {
    *error = path + (input->reader->failed() ? ": cannot be read" : ": empty, no header line");
    return nullptr;
  }
  std::string problem = header.error.empty() ? HeaderProblem(header.fields) : header.error;
  if (!problem.empty()) {
    *error = path + ":" + std::to_string(header.line) + ": header: " + problem;
    return nullptr;
  }
  input->header = std::move(header.fields);
  int id = ColumnIndex(input->header, id_column);
  if (id < 0) {
    *error = path + ": header: no id column " + id_column;
    return nullptr;
  }
  input->id_column = static_cast<size_t>(id);
  if (!label_column.empty()) {
    input->label_column = ColumnIndex(input->header, label_column);
    if (input->label_column < 0) {
      *error = path + ": header: no label column " + label_column;
      return nullptr;
    }
  }
  return input;
}

}  // namespace txhost
