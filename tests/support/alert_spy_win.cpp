// The alert spy on Windows: MessageBoxA replaced in the import tables of the program and the
// libraries under test, so that an alert is recorded instead of shown.
#include <windows.h>

#include <cstdlib>

#include "alert_spy.h"
#include "alert_store.h"
#include "import_patch_win.h"

namespace testing_support {
namespace {

void* g_real_message_box = nullptr;

int WINAPI RecordMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  Alert alert;
  alert.text = text ? text : "";
  alert.owner = owner;
  alert.has_caption = caption != nullptr;
  alert.type = type;
  Alerts().Add(std::move(alert));
  return IDOK;
}

}  // namespace

AlertSpy::AlertSpy(std::initializer_list<void*> libraries) {
  if (Alerts().active.exchange(true)) std::abort();  // one spy at a time
  Clear();
  patched_.push_back(GetModuleHandleA(nullptr));
  patched_.insert(patched_.end(), libraries.begin(), libraries.end());
  for (void* module : patched_) {
    void* previous = txhost::PatchImport(static_cast<HMODULE>(module), "USER32.dll", "MessageBoxA",
                                         reinterpret_cast<void*>(&RecordMessageBox));
    if (previous != nullptr && previous != reinterpret_cast<void*>(&RecordMessageBox)) {
      g_real_message_box = previous;
    }
  }
}

AlertSpy::~AlertSpy() {
  for (void* module : patched_) {
    if (g_real_message_box == nullptr) break;
    txhost::PatchImport(static_cast<HMODULE>(module), "USER32.dll", "MessageBoxA",
                        g_real_message_box);
  }
  Alerts().active = false;
}

}  // namespace testing_support
