// A large transactions file in the sample's shape, for timing the host.
#ifndef TXSCREEN_BENCH_SAMPLE_FILE_H_
#define TXSCREEN_BENCH_SAMPLE_FILE_H_

#include <string>

// Writes `rows` transactions with the columns of examples/transactions.csv to `path`; the same
// rows every time.
void WriteSampleFile(const std::string& path, size_t rows);

#endif  // TXSCREEN_BENCH_SAMPLE_FILE_H_
