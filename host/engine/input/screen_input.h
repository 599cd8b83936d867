// The transactions as screening reads them: the rows' source, the header, and the columns that
// identify and label a row. A CSV file or stream, or columns already in memory.
#ifndef TXSCREEN_HOST_ENGINE_INPUT_SCREEN_INPUT_H_
#define TXSCREEN_HOST_ENGINE_INPUT_SCREEN_INPUT_H_

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "csv.h"
#include "row_source.h"

namespace txhost {

struct ScreenInput {
  std::string name;  // the path, "-" for standard input, or what stands for columns in memory
  std::ifstream file;
  std::unique_ptr<RowSource> source;
  std::vector<std::string> header;
  size_t id_column = 0;
  int label_column = -1;     // -1 without a backtest
  uint64_t total_bytes = 0;  // 0 when unknown
};

// Opens the file and reads its header, which must name every column once and hold `id_column`
// and, when it is not empty, `label_column`. Null and "name[:line]: problem" otherwise.
std::unique_ptr<ScreenInput> OpenScreenInput(const std::string& path, const std::string& id_column,
                                             const std::string& label_column, std::string* error);

// The same checks of the header, for rows that come from `source` (columns in memory, say).
std::unique_ptr<ScreenInput> OpenRowInput(const std::string& name, std::vector<std::string> header,
                                          std::unique_ptr<RowSource> source,
                                          const std::string& id_column,
                                          const std::string& label_column, std::string* error);

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_INPUT_SCREEN_INPUT_H_
