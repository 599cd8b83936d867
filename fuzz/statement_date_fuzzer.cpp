// Fuzzes the stand-in's statement reading and date conversion: statement texts through the
// parser, and dates, format models and buffer sizes through OCIDateToText itself, whose output
// must fit the buffer it was given.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ocisim.h"
#include "plsql.h"

namespace {

OCIError* ErrorHandle() {
  static OCIError* err = [] {
    OCIEnv* env = nullptr;
    OCIEnvCreate(&env, OCI_DEFAULT, nullptr, nullptr, nullptr, nullptr, 0, nullptr);
    OCIError* handle = nullptr;
    OCIHandleAlloc(env, reinterpret_cast<void**>(&handle), OCI_HTYPE_ERROR, 0, nullptr);
    return handle;
  }();
  return err;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 9) return 0;
  std::string text(reinterpret_cast<const char*>(data) + 9, size - 9);
  ocisim::ParsedStatement parsed = ocisim::ParseStatement(text);
  if (parsed.is_call) {
    for (const std::string& arg : parsed.call.args) {
      bool known = false;
      for (const std::string& name : parsed.placeholders) known |= name == arg;
      if (!known) std::abort();  // every argument placeholder is one the binds can reach
    }
  }

  OCIDate date;
  std::memcpy(&date, data, sizeof date);
  ub4 buffer_size = data[8] % 64;
  std::vector<OraText> buffer(buffer_size + 1);  // one byte more, to catch a write past the size
  buffer[buffer_size] = 0xA5;
  ub4 in_out = buffer_size;
  sword status = OCIDateToText(ErrorHandle(), &date, reinterpret_cast<const OraText*>(text.data()),
                               static_cast<ub1>(std::min<size_t>(text.size(), 255)), nullptr, 0,
                               &in_out, buffer.data());
  if (buffer[buffer_size] != 0xA5) std::abort();
  if (status == OCI_SUCCESS && (in_out >= buffer_size || buffer[in_out] != 0)) std::abort();
  return 0;
}
