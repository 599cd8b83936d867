// A deterministic generator of sample-shaped transactions.
#include "sample_file.h"

#include <cstdint>
#include <cstdio>

void WriteSampleFile(const std::string& path, size_t rows) {
  FILE* out = std::fopen(path.c_str(), "w");
  if (out == nullptr) return;
  std::fputs(
      "id,date,account,user,terminal,registered_terminal,merchant,amount,previous_amount,"
      "credit_limit,billing_zip,shipping_zip,channel,is_fraud\n",
      out);
  static const char* const kUsers[] = {"alice", "bob", "carol", "dave", "erin", "svc-batch"};
  static const char* const kChannels[] = {"Store", "Phone", "Internet", "internet"};
  uint64_t state = 20261208;
  auto next = [&](uint64_t range) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return (state >> 33) % range;
  };
  for (size_t i = 0; i < rows; ++i) {
    uint64_t user = next(6), zip = 10000 + next(90000);
    std::fprintf(out,
                 "T%07zu,2026-%02d-%02d,ACC-%d,%s,T-%02d,T-%02d,M-%04d,%.2f,%.2f,%d,%d,%d,%s,%d\n",
                 i, static_cast<int>(1 + next(12)), static_cast<int>(1 + next(28)),
                 static_cast<int>(1001 + next(40)), kUsers[user],
                 static_cast<int>(next(10) ? user + 1 : 40 + next(50)), static_cast<int>(user + 1),
                 static_cast<int>(next(1000)), next(200000) / 100.0, next(100000) / 100.0,
                 next(2) ? 500 : 2500, static_cast<int>(zip),
                 static_cast<int>(next(2) ? zip : 10000 + next(90000)), kChannels[next(4)],
                 static_cast<int>(next(10) == 0));
  }
  std::fclose(out);
}
