// A session on the stand-in opened with plain client-library calls, and its error texts.
#include "stand_in.h"

#include <cstring>

namespace testing_support {

std::string ErrorText(OCIError* err) {
  sb4 code = 0;
  OraText text[512] = {};
  if (OCIErrorGet(err, 1, nullptr, &code, text, sizeof text, OCI_HTYPE_ERROR) != OCI_SUCCESS) {
    return "<no record>";
  }
  return reinterpret_cast<const char*>(text);
}

std::unique_ptr<StandInSession> StandInSession::Open(const char* service, const char* user,
                                                     const char* password, std::string* error) {
  std::unique_ptr<StandInSession> s(new StandInSession());
  auto alloc = [&](void* handle, ub4 type) {
    return OCIHandleAlloc(s->env_, static_cast<void**>(handle), type, 0, nullptr) == OCI_SUCCESS;
  };
  auto text = [](const char* value) { return static_cast<void*>(const_cast<char*>(value)); };
  if (OCIEnvCreate(&s->env_, OCI_DEFAULT, nullptr, nullptr, nullptr, nullptr, 0, nullptr) != 0 ||
      !alloc(&s->err_, OCI_HTYPE_ERROR) || !alloc(&s->server_, OCI_HTYPE_SERVER) ||
      !alloc(&s->svc_, OCI_HTYPE_SVCCTX) || !alloc(&s->session_, OCI_HTYPE_SESSION) ||
      OCIServerAttach(s->server_, s->err_, reinterpret_cast<const OraText*>(service),
                      static_cast<sb4>(std::strlen(service)), OCI_DEFAULT) != OCI_SUCCESS ||
      !(s->attached_ = true) ||
      OCIAttrSet(s->svc_, OCI_HTYPE_SVCCTX, s->server_, 0, OCI_ATTR_SERVER, s->err_) != 0 ||
      OCIAttrSet(s->session_, OCI_HTYPE_SESSION, text(user), static_cast<ub4>(std::strlen(user)),
                 OCI_ATTR_USERNAME, s->err_) != 0 ||
      OCIAttrSet(s->session_, OCI_HTYPE_SESSION, text(password),
                 static_cast<ub4>(std::strlen(password)), OCI_ATTR_PASSWORD, s->err_) != 0 ||
      OCISessionBegin(s->svc_, s->err_, s->session_, OCI_CRED_RDBMS, OCI_DEFAULT) != 0 ||
      !(s->begun_ = true) ||
      OCIAttrSet(s->svc_, OCI_HTYPE_SVCCTX, s->session_, 0, OCI_ATTR_SESSION, s->err_) != 0) {
    *error = s->err_ ? ErrorText(s->err_) : "no environment";
    return nullptr;
  }
  return s;
}

StandInSession::~StandInSession() {
  if (begun_) OCISessionEnd(svc_, err_, session_, OCI_DEFAULT);
  if (attached_) OCIServerDetach(server_, err_, OCI_DEFAULT);
  // Freeing the environment frees every handle under it.
  if (env_ != nullptr) OCIHandleFree(env_, OCI_HTYPE_ENV);
}

}  // namespace testing_support
