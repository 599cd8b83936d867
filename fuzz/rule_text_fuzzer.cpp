// Fuzzes the text arguments of the rules against a reference written here: the input is split
// at zero bytes into texts, and each rule's answer must be what its definition gives.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "ocisim.h"
#include "session.h"
#include "txscreen.h"
#include "txscreen2.h"

namespace {

const OciHandles& Handles() {
  static std::unique_ptr<txhost::HostSession> session = [] {
    ocisim_define_database("fuzz");
    ocisim_add_user("fuzz", "u", "p");
    std::string error;
    return txhost::HostSession::Open({"u", "p", "fuzz"}, false, &error);
  }();
  static const OciHandles handles = session->handles();
  return handles;
}

// Each text in its own exactly sized allocation, so reading past a terminator is caught.
std::vector<std::unique_ptr<char[]>> Texts(const uint8_t* data, size_t size) {
  std::vector<std::unique_ptr<char[]>> texts;
  size_t start = 0;
  for (size_t i = 0; i <= size && texts.size() < 4; ++i) {
    if (i == size || data[i] == 0) {
      auto text = std::make_unique<char[]>(i - start + 1);
      std::memcpy(text.get(), data + start, i - start);
      text[i - start] = '\0';
      texts.push_back(std::move(text));
      start = i + 1;
    }
  }
  while (texts.size() < 4) texts.push_back(std::make_unique<char[]>(1));
  return texts;
}

bool Same(const char* a, const char* b) { return std::string(a) == std::string(b); }

void Expect(RuleResult answer, bool fires) {
  if (answer != (fires ? 1 : 0)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto texts = Texts(data, size);
  const char *a = texts[0].get(), *b = texts[1].get(), *c = texts[2].get(), *d = texts[3].get();
  Expect(BADACCOUNT(a, b), Same(a, b));
  Expect(SPECIAL_USER(a, b, c, d), Same(c, a) && !Same(d, b));
  Expect(SAMEZIPCODE(a, b, c), Same(a, b) && !Same(c, "Internet"));
  const OCIDate monday{2026, 12, 7, {0, 0, 0}};
  const OciHandles& h = Handles();
  Expect(TESTDATE(h.env, h.err, h.svc, a, monday), Same(a, "MON"));
  Expect(TESTMERCHANT(h.env, h.err, h.svc, a, b, c, monday), Same(a, b) && Same(c, "MON"));
  return 0;
}
