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
  for (size_t c = 0; c < header.size(); ++c) {
    const std::string& column = header[c];
    if (column.empty() && c == 0) {
      return "column 1 has no name: a file written with its index (pandas' to_csv, say) has "
             "one first; write it without, to_csv(path, index=False), or name it";
    }
    if (column.empty()) return "column " + std::to_string(c + 1) + " has no name";
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

// Checks the header and finds the id and label columns in it.
bool FindColumns(ScreenInput* input, const std::string& id_column, const std::string& label_column,
                 std::string* error) {
  int id = ColumnIndex(input->header, id_column);
  if (id < 0) {
    *error = input->name + ": header: no id column " + id_column;
    return false;
  }
  input->id_column = static_cast<size_t>(id);
  if (!label_column.empty()) {
    input->label_column = ColumnIndex(input->header, label_column);
    if (input->label_column < 0) {
      *error = input->name + ": header: no label column " + label_column;
      return false;
    }
  }
  return true;
}

}  // namespace

std::unique_ptr<ScreenInput> OpenScreenInput(const std::string& path, const std::string& id_column,
                                             const std::string& label_column, std::string* error) {
  auto input = std::make_unique<ScreenInput>();
  input->name = path;
  if (path != "-" && !OpenFile(path, input.get(), error)) return nullptr;
  auto reader = path == "-" ? std::make_unique<CsvReader>(CsvReader::Source(ReadStandardInput))
                            : std::make_unique<CsvReader>(input->file);
  CsvRecord header;
  if (!reader->Next(&header)) {
    *error = path + (reader->failed() ? ": cannot be read" : ": empty, no header line");
    return nullptr;
  }
  std::vector<std::string> names(header.fields.begin(), header.fields.end());
  std::string problem = header.error.empty() ? HeaderProblem(names) : header.error;
  if (!problem.empty()) {
    *error = path + ":" + std::to_string(header.line) + ": header: " + problem;
    return nullptr;
  }
  input->header = std::move(names);
  input->source = std::move(reader);
  if (!FindColumns(input.get(), id_column, label_column, error)) return nullptr;
  return input;
}

std::unique_ptr<ScreenInput> OpenRowInput(const std::string& name, std::vector<std::string> header,
                                          std::unique_ptr<RowSource> source,
                                          const std::string& id_column,
                                          const std::string& label_column, std::string* error) {
  auto input = std::make_unique<ScreenInput>();
  input->name = name;
  input->source = std::move(source);
  input->header = std::move(header);
  std::string problem = HeaderProblem(input->header);
  if (!problem.empty()) {
    *error = name + ": header: " + problem;
    return nullptr;
  }
  if (!FindColumns(input.get(), id_column, label_column, error)) return nullptr;
  return input;
}

}  // namespace txhost
