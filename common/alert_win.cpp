// ShowAlert on Windows: a modal message box with no owner and the system's default caption.
#include <windows.h>

#include "rule.h"

namespace txscreen {

void ShowAlert(const char* text) {
  // The answer is always OK; there is nothing to act on.
  MessageBoxA(nullptr, text, nullptr, MB_OK);
}

}  // namespace txscreen
