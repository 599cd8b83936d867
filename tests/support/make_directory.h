// A scratch directory for tests; an existing one is left as it is.
#ifndef TXSCREEN_TESTS_SUPPORT_MAKE_DIRECTORY_H_
#define TXSCREEN_TESTS_SUPPORT_MAKE_DIRECTORY_H_

#include <string>

namespace testing_support {

void MakeDirectory(const std::string& path);

}  // namespace testing_support

#endif  // TXSCREEN_TESTS_SUPPORT_MAKE_DIRECTORY_H_
