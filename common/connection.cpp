// TConnection: allocation, login, and release of a session of its own.
#include "connection.h"

#include <cstring>

#include "rule.h"

namespace txscreen {
namespace {

// Zeroes a secret through a volatile pointer, so the stores cannot be dropped as dead even when
// the object dies right after.
void Wipe(char* area, size_t size) {
  volatile char* bytes = area;
  for (size_t i = 0; i < size; ++i) bytes[i] = 0;
}

// Copies `text` and its terminator into `area` when it fits; false when it does not.
bool Store(char* area, size_t size, const char* text) {
  size_t length = std::strlen(text);
  if (length >= size) return false;
  std::memcpy(area, text, length + 1);
  return true;
}

template <class Handle>
void Free(Handle*& handle, ub4 type) {
  if (handle != nullptr) OCIHandleFree(handle, type);
  handle = nullptr;
}

}  // namespace

TConnection::TConnection()
    : user_name(),
      password(),
      service_name(),
      state(kStateDisconnected),
      env(nullptr),
      err(nullptr),
      svc(nullptr),
      session(nullptr),
      server(nullptr),
      login_error() {}

TConnection::~TConnection() {
  if (state == kStateConnected) Disconnect();
  // Whatever a failed Disconnect kept is released now: once the object is gone, nothing else
  // could ever release it.
  ReleaseHandles();
  Wipe(password, sizeof password);
}

int32_t TConnection::SetLogin(const char* user, const char* secret, const char* service) {
  if (!Store(user_name, sizeof user_name, user)) return 0;
  if (std::strlen(secret) >= sizeof password) return 0;
  Wipe(password, sizeof password);  // no tail of a longer, older password stays behind
  Store(password, sizeof password, secret);
  if (!Store(service_name, sizeof service_name, service)) return 0;
  return 1;
}

int32_t TConnection::AllocHandles() {
  if (state == kStateDisconnected) ReleaseHandles();
  OCIEnvCreate(&env, OCI_DEFAULT, nullptr, nullptr, nullptr, nullptr, 0, nullptr);
  AllocHandle(env, &err, OCI_HTYPE_ERROR);
  AllocHandle(env, &server, OCI_HTYPE_SERVER);
  const char* target = service_name[0] != '\0' ? service_name : kDefaultServiceName;
  OCIServerAttach(server, err, reinterpret_cast<const OraText*>(target),
                  static_cast<sb4>(std::strlen(target)), OCI_DEFAULT);
  AllocHandle(env, &svc, OCI_HTYPE_SVCCTX);
  OCIAttrSet(svc, OCI_HTYPE_SVCCTX, server, 0, OCI_ATTR_SERVER, err);
  AllocHandle(env, &session, OCI_HTYPE_SESSION);
  return 0;
}

int32_t TConnection::Connect() {
  if (state == kStateConnected) return -1;
  AllocHandles();
  OCIAttrSet(session, OCI_HTYPE_SESSION, user_name, static_cast<ub4>(std::strlen(user_name)),
             OCI_ATTR_USERNAME, err);
  OCIAttrSet(session, OCI_HTYPE_SESSION, password, static_cast<ub4>(std::strlen(password)),
             OCI_ATTR_PASSWORD, err);
  if (Failed(OCISessionBegin(svc, err, session, OCI_CRED_RDBMS, OCI_DEFAULT))) {
    login_error[0] = '\0';
    FetchErrorText(err, OCI_HTYPE_ERROR, reinterpret_cast<OraText*>(login_error),
                   sizeof login_error);
    login_error[sizeof login_error - 1] = '\0';
    // Kept, the set would leak: nothing else releases a disconnected object's handles, and the
    // next Connect allocates a fresh one.
    ReleaseHandles();
    return 1;
  }
  login_error[0] = '\0';
  OCIAttrSet(svc, OCI_HTYPE_SVCCTX, session, 0, OCI_ATTR_SESSION, err);
  state = kStateConnected;
  return 0;
}

int32_t TConnection::Disconnect() {
  if (state == kStateDisconnected) return -2;
  sword status = OCISessionEnd(svc, err, session, OCI_DEFAULT);
  if (!EndedCleanly(status)) return status;
  state = kStateDisconnected;
  ReleaseHandles();
  return 0;
}

void TConnection::ReleaseHandles() {
  if (server != nullptr) OCIServerDetach(server, err, OCI_DEFAULT);
  Free(svc, OCI_HTYPE_SVCCTX);
  Free(session, OCI_HTYPE_SESSION);
  Free(server, OCI_HTYPE_SERVER);
  Free(err, OCI_HTYPE_ERROR);
  Free(env, OCI_HTYPE_ENV);
}

}  // namespace txscreen
