// A request's body as the rows the engine screens: a JSON object whose keys are column names, or
// an array of them. A string gives its bytes; a number gives its text exactly as the request
// writes it, so that it is read as the same text in a CSV file would be.
#ifndef TXSCREEN_HOST_SERVE_REQUEST_ROWS_H_
#define TXSCREEN_HOST_SERVE_REQUEST_ROWS_H_

#include <string>
#include <vector>

#include "row_source.h"

namespace txhost {

struct RequestRows {
  bool batch = false;  // the body was an array
  // One per transaction, with a field per header column, each followed by a NUL in `bytes`.
  std::vector<CsvRecord> records;
  // Per record, why it cannot be screened (a column missing or given twice, a value that is
  // neither a string nor a number); empty when it can.
  std::vector<std::string> problems;
  // Per record, the same for the columns past the required ones, which only a shadow draft reads:
  // the live set decides such a record alone.
  std::vector<std::string> draft_problems;
  std::vector<char> bytes;
};

enum class RequestError {
  kNone,
  kMalformed,      // not JSON at all (400)
  kUnprocessable,  // JSON of another shape: not an object or an array of objects (422)
};

// The longest batch a request may hold.
inline constexpr size_t kMaxBatch = 10000;
// The deepest a body's values may nest, the body's own object or array being level 1: a
// transaction is flat, and the reader's stack must stay bounded whatever a client sends.
inline constexpr int kMaxDepth = 32;

// Makes room past the end of `body` for the parser, which reads a few bytes past what it parses;
// the room is zeroed, so that no byte it reads is undefined.
void PadForReading(std::string* body);

// Reads `body`, padded first, against the columns of `header`, of which the first `required`
// must be there and the rest may be missing; keys it does not name are left alone.
RequestError ReadRequestRows(std::string& body, const std::vector<std::string>& header,
                             size_t required, RequestRows* rows, std::string* error);

}  // namespace txhost

#endif  // TXSCREEN_HOST_SERVE_REQUEST_ROWS_H_
