// The test program's resident memory, for showing that a long run does not grow.
#ifndef TXSCREEN_TESTS_SUPPORT_MEMORY_USAGE_H_
#define TXSCREEN_TESTS_SUPPORT_MEMORY_USAGE_H_

#include <cstddef>

namespace testing_support {

size_t ResidentBytes();

}  // namespace testing_support

#endif  // TXSCREEN_TESTS_SUPPORT_MEMORY_USAGE_H_
