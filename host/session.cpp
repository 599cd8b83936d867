// Opening and closing the host's database session through the client library.
#include "session.h"

#include "oci_calls.h"

namespace txhost {
namespace {

using txscreen::Succeeded;

template <class Handle>
bool Alloc(OCIEnv* env, Handle** handle, ub4 type) {
  return Succeeded(txscreen::AllocHandle(env, handle, type));
}

}  // namespace

bool ParseConnectString(const std::string& text, ConnectString* connect, std::string* error) {
  size_t at = text.rfind('@');
  size_t slash = text.find('/');
  if (slash > at) slash = std::string::npos;  // a '/' in the service name
  size_t user_end = slash == std::string::npos ? at : slash;
  if (at == std::string::npos || user_end == 0 || at + 1 == text.size()) {
    *error = "the connect string is not of the form user[/password]@service";
    return false;
  }
  connect->user = text.substr(0, user_end);
  connect->has_password = slash != std::string::npos;
  connect->password = connect->has_password ? text.substr(slash + 1, at - slash - 1) : "";
  connect->service = text.substr(at + 1);
  return true;
}

std::string ErrorText(void* handle, ub4 type) {
  OraText text[512] = {};
  if (!Succeeded(txscreen::FetchErrorText(handle, type, text, sizeof text))) {
    return "the client library gave no error text";
  }
  return reinterpret_cast<const char*>(text);
}

std::unique_ptr<HostSession> HostSession::Open(const ConnectString& connect, bool threaded,
                                               std::string* error) {
  std::unique_ptr<HostSession> session(new HostSession());
  HostSession& s = *session;
  if (!Succeeded(OCIEnvCreate(&s.env_, threaded ? OCI_THREADED : OCI_DEFAULT, nullptr, nullptr,
                              nullptr, nullptr, 0, nullptr))) {
    *error = "cannot create a client-library environment";
    s.env_ = nullptr;
    return nullptr;
  }
  if (!Alloc(s.env_, &s.err_, OCI_HTYPE_ERROR) || !Alloc(s.env_, &s.server_, OCI_HTYPE_SERVER) ||
      !Alloc(s.env_, &s.svc_, OCI_HTYPE_SVCCTX) || !Alloc(s.env_, &s.session_, OCI_HTYPE_SESSION)) {
    *error = "cannot allocate the session's handles";
    return nullptr;
  }
  const auto* service = reinterpret_cast<const OraText*>(connect.service.data());
  if (!Succeeded(OCIServerAttach(s.server_, s.err_, service,
                                 static_cast<sb4>(connect.service.size()), OCI_DEFAULT))) {
    *error = "cannot reach " + connect.service + ": " + ErrorText(s.err_, OCI_HTYPE_ERROR);
    return nullptr;
  }
  s.attached_ = true;
  auto text = [](const std::string& value) {
    return static_cast<void*>(const_cast<char*>(value.data()));
  };
  if (!Succeeded(OCIAttrSet(s.svc_, OCI_HTYPE_SVCCTX, s.server_, 0, OCI_ATTR_SERVER, s.err_)) ||
      !Succeeded(OCIAttrSet(s.session_, OCI_HTYPE_SESSION, text(connect.user),
                            static_cast<ub4>(connect.user.size()), OCI_ATTR_USERNAME, s.err_)) ||
      !Succeeded(OCIAttrSet(s.session_, OCI_HTYPE_SESSION, text(connect.password),
                            static_cast<ub4>(connect.password.size()), OCI_ATTR_PASSWORD,
                            s.err_)) ||
      !Succeeded(OCISessionBegin(s.svc_, s.err_, s.session_, OCI_CRED_RDBMS, OCI_DEFAULT))) {
    *error = "cannot log in to " + connect.service + " as " + connect.user + ": " +
             ErrorText(s.err_, OCI_HTYPE_ERROR);
    return nullptr;
  }
  s.begun_ = true;
  if (!Succeeded(OCIAttrSet(s.svc_, OCI_HTYPE_SVCCTX, s.session_, 0, OCI_ATTR_SESSION, s.err_))) {
    *error = "cannot use the session: " + ErrorText(s.err_, OCI_HTYPE_ERROR);
    return nullptr;
  }
  return session;
}

bool HostSession::HandlesForThread(OciHandles* handles) {
  OCIError* err = nullptr;
  if (!Alloc(env_, &err, OCI_HTYPE_ERROR)) return false;
  thread_errors_.push_back(err);
  *handles = {env_, err, svc_};
  return true;
}

HostSession::~HostSession() { Close(); }

void HostSession::Close() {
  if (begun_) OCISessionEnd(svc_, err_, session_, OCI_DEFAULT);
  if (attached_) OCIServerDetach(server_, err_, OCI_DEFAULT);
  for (OCIError* err : thread_errors_) OCIHandleFree(err, OCI_HTYPE_ERROR);
  if (session_) OCIHandleFree(session_, OCI_HTYPE_SESSION);
  if (svc_) OCIHandleFree(svc_, OCI_HTYPE_SVCCTX);
  if (server_) OCIHandleFree(server_, OCI_HTYPE_SERVER);
  if (err_) OCIHandleFree(err_, OCI_HTYPE_ERROR);
  if (env_) OCIHandleFree(env_, OCI_HTYPE_ENV);
}

}  // namespace txhost
