// Making a scratch directory on Windows.
#include <windows.h>

#include <string>

#include "make_directory.h"

namespace testing_support {

void MakeDirectory(const std::string& path) { CreateDirectoryA(path.c_str(), nullptr); }

}  // namespace testing_support
