// Making a scratch directory on POSIX systems.
#include <sys/stat.h>

#include <string>

#include "make_directory.h"

namespace testing_support {

void MakeDirectory(const std::string& path) { mkdir(path.c_str(), 0755); }

}  // namespace testing_support
