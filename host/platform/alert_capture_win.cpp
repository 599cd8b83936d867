// Alert routing on Windows: each library's MessageBoxA import points at the host's own handler.
#include <windows.h>

#include "alert_capture.h"
#include "import_patch_win.h"

namespace txhost {
namespace {

using MessageBoxFunction = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT);
MessageBoxFunction g_real_message_box = nullptr;

int WINAPI RouteAlert(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
  if (AlertCollector* collector = AlertCollector::Current()) {
    collector->Add(text);
    return IDOK;
  }
  return g_real_message_box(owner, text, caption, type);
}

void* Patch(const DynamicLibrary* library, void* function) {
  return PatchImport(static_cast<HMODULE>(library->native()), "USER32.dll", "MessageBoxA",
                     function);
}

}  // namespace

AlertRouting::AlertRouting(const std::vector<const DynamicLibrary*>& libraries)
    : libraries_(libraries) {
  g_real_message_box = &MessageBoxA;
  for (const DynamicLibrary* library : libraries_) {
    replaced_.push_back(Patch(library, reinterpret_cast<void*>(&RouteAlert)));
  }
}

AlertRouting::~AlertRouting() {
  for (size_t i = 0; i < libraries_.size(); ++i) {
    if (replaced_[i] != nullptr) Patch(libraries_[i], replaced_[i]);
  }
}

}  // namespace txhost
