// The test program's resident memory, for showing that a long run does not grow.
#ifndef TXSCREEN_TESTS_SUPPORT_MEMORY_USAGE_H_
#define TXSCREEN_TESTS_SUPPORT_MEMORY_USAGE_H_

#include <cstddef>

#include "sanitizer_build.h"

namespace testing_support {

size_t ResidentBytes();

// False under AddressSanitizer or ThreadSanitizer, whose quarantine and shadow memory grow the
// process on their own account.
constexpr bool kResidentMemoryIsMeaningful = !kUnderSanitizer;

}  // namespace testing_support

#endif  // TXSCREEN_TESTS_SUPPORT_MEMORY_USAGE_H_
