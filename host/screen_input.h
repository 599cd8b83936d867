// The transactions file as screening reads it: the stream, its header, and the columns that
// identify and label a row.
#ifndef TXSCREEN_HOST_SCREEN_INPUT_H_
#define TXSCREEN_HOST_SCREEN_INPUT_H_

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "csv.h"

namespace txhost {

struct ScreenInput {
  std::string name;  // the path, or "-" for standard input
  std::ifstream file;
  std::unique_ptr<CsvReader> reader;
  std::vector<std::string> header;
  size_t id_column = 0;
  int label_column = -1;     // -1 without a backtest
  uint64_t total_bytes = 0;  // 0 when unknown
};

// Opens the file and reads its header, which must name every column once and hold `id_column`
// and, when it is not empty, `label_column`. Null and "name[:line]: problem" otherwise.
std::unique_ptr<ScreenInput> OpenScreenInput(const std::string& path, const std::string& id_column,
                                             const std::string& label_column, std::string* error);

}  // namespace txhost

#endif  // TXSCREEN_HOST_SCREEN_INPUT_H_
