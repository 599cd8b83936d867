// Which sanitizer this build of the suites runs under. Under one, every memory access or every
// synchronisation is checked, ten to fifty times slower than natively: an input sized to stress
// throughput runs smaller there, and a test with one thread is left to the builds that can find
// something in it.
#ifndef TXSCREEN_TESTS_SUPPORT_SANITIZER_BUILD_H_
#define TXSCREEN_TESTS_SUPPORT_SANITIZER_BUILD_H_

namespace testing_support {

#if defined(__SANITIZE_THREAD__)
constexpr bool kUnderThreadSanitizer = true;
#else
constexpr bool kUnderThreadSanitizer = false;
#endif

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kUnderAddressSanitizer = true;
#else
constexpr bool kUnderAddressSanitizer = false;
#endif

constexpr bool kUnderSanitizer = kUnderThreadSanitizer || kUnderAddressSanitizer;

}  // namespace testing_support

#endif  // TXSCREEN_TESTS_SUPPORT_SANITIZER_BUILD_H_
