// The three ways this code judges a client-library status, and the two calls that every caller
// makes alike. Header-only, so that the rule libraries and the host share one copy of each.
#ifndef TXSCREEN_COMMON_OCI_CALLS_H_
#define TXSCREEN_COMMON_OCI_CALLS_H_

#include "oci_api.h"

namespace txscreen {

// Rules, and TConnection's session begin: a call fails only when it returns OCI_ERROR. Every
// other status, success with information and the invalid-handle status included, is success.
inline bool Failed(sword status) { return status == OCI_ERROR; }

// TConnection's session end: anything but OCI_SUCCESS is a failure, reported as it is.
inline bool EndedCleanly(sword status) { return status == OCI_SUCCESS; }

// The host: success, with or without information; everything else is a failure.
inline bool Succeeded(sword status) {
  return status == OCI_SUCCESS || status == OCI_SUCCESS_WITH_INFO;
}

// A new child handle of `env`, with no extra memory.
template <class Handle>
sword AllocHandle(OCIEnv* env, Handle** handle, ub4 type) {
  return OCIHandleAlloc(env, reinterpret_cast<void**>(handle), type, 0, nullptr);
}

// Error record 1 of `handle` (of `type`) into `text`: no SQL state, an error-code variable set to
// 0 beforehand. Gives the fetch's own status; `text` is left as the client library left it.
inline sword FetchErrorText(void* handle, ub4 type, OraText* text, ub4 size) {
  sb4 error_code = 0;
  return OCIErrorGet(handle, 1, nullptr, &error_code, text, size, type);
}

}  // namespace txscreen

#endif  // TXSCREEN_COMMON_OCI_CALLS_H_
