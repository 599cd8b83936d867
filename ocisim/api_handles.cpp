// Environments, handle allocation and release, and error records.
#include <algorithm>
#include <cstring>

#include "handles.h"
#include "oci_api.h"
#include "state.h"

using ocisim::Call;
using ocisim::Environment;
using ocisim::ErrorHandle;
using ocisim::ErrorRecord;
using ocisim::Handle;

namespace {

// Bind handles are not in the list: the bind calls allocate them under their statement.
Handle* CreateChild(ocisim::Registry& handles, ub4 type, Environment* env) {
  switch (type) {
    case OCI_HTYPE_ERROR:
      return handles.Create<ErrorHandle>(env);
    case OCI_HTYPE_SVCCTX:
      return handles.Create<ocisim::ServiceContext>(env);
    case OCI_HTYPE_STMT:
      return handles.Create<ocisim::Statement>(env);
    case OCI_HTYPE_SERVER:
      return handles.Create<ocisim::Server>(env);
    case OCI_HTYPE_SESSION:
      return handles.Create<ocisim::Session>(env);
    default:
      return nullptr;
  }
}

void GiveUserMemory(Handle* handle, size_t size, void** usrmempp) {
  if (size == 0 || usrmempp == nullptr) return;
  handle->user_memory.assign(size, 0);
  *usrmempp = handle->user_memory.data();
}

}  // namespace

extern "C" {

sword OCIEnvCreate(OCIEnv** envhpp, ub4 mode, const void* ctxp,
                   void* (*malocfp)(void* ctxp, size_t size),
                   void* (*ralocfp)(void* ctxp, void* memptr, size_t newsize),
                   void (*mfreefp)(void* ctxp, void* memptr), size_t xtramem_sz, void** usrmempp) {
  Call call("OCIEnvCreate");
  call.Arg("envhpp", envhpp).Arg("mode", mode).Arg("ctxp", ctxp);
  call.Arg("malocfp", reinterpret_cast<const void*>(malocfp))
      .Arg("ralocfp", reinterpret_cast<const void*>(ralocfp))
      .Arg("mfreefp", reinterpret_cast<const void*>(mfreefp));
  call.Arg("xtramem_sz", xtramem_sz).Arg("usrmempp", usrmempp);
  if (envhpp == nullptr) return call.Violation(OCI_INVALID_HANDLE, "envhpp is null");
  if (auto status = call.Injected(nullptr)) return *status;
  // The stand-in allocates with its own allocator; the callbacks, which only say where the
  // client library's memory comes from, are accepted and not used.
  auto* env = call.state().handles.Create<Environment>(nullptr);
  env->mode = mode;
  GiveUserMemory(env, xtramem_sz, usrmempp);
  *envhpp = reinterpret_cast<OCIEnv*>(env);
  return call.Return(OCI_SUCCESS);
}

sword OCIHandleAlloc(const void* parenth, void** hndlpp, ub4 type, size_t xtramem_sz,
                     void** usrmempp) {
  Call call("OCIHandleAlloc");
  call.Arg("parenth", parenth).Arg("hndlpp", hndlpp).Arg("type", type);
  call.Arg("xtramem_sz", xtramem_sz).Arg("usrmempp", usrmempp);
  auto* env = call.Find<Environment>("parenth", parenth, OCI_HTYPE_ENV);
  if (env == nullptr) return call.Return(OCI_INVALID_HANDLE);
  if (hndlpp == nullptr) return call.Violation(OCI_INVALID_HANDLE, "hndlpp is null");
  if (auto status = call.Injected(&env->error)) return *status;
  Handle* handle = CreateChild(call.state().handles, type, env);
  if (handle == nullptr) {
    return call.Violation(OCI_INVALID_HANDLE,
                          "type " + std::to_string(type) + " cannot be allocated here");
  }
  GiveUserMemory(handle, xtramem_sz, usrmempp);
  *hndlpp = handle;
  return call.Return(OCI_SUCCESS);
}

sword OCIHandleFree(void* hndlp, ub4 type) {
  Call call("OCIHandleFree");
  call.Arg("hndlp", hndlp).Arg("type", type);
  Handle* handle = call.Find<Handle>("hndlp", hndlp, type);
  if (handle == nullptr) return call.Return(OCI_INVALID_HANDLE);
  if (type == OCI_HTYPE_BIND) {
    return call.Violation(OCI_INVALID_HANDLE, "a bind handle is released with its statement");
  }
  if (auto status = call.Injected(nullptr)) return *status;
  call.state().handles.Destroy(handle);
  return call.Return(OCI_SUCCESS);
}

sword OCIErrorGet(void* hndlp, ub4 recordno, OraText* sqlstate, sb4* errcodep, OraText* bufp,
                  ub4 bufsiz, ub4 type) {
  Call call("OCIErrorGet");
  call.Arg("hndlp", hndlp).Arg("recordno", recordno).Arg("sqlstate", sqlstate);
  call.Arg("errcodep", errcodep).Arg("bufp", bufp).Arg("bufsiz", bufsiz).Arg("type", type);
  if (type != OCI_HTYPE_ERROR && type != OCI_HTYPE_ENV) {
    return call.Violation(OCI_INVALID_HANDLE, "type must be an error or environment handle");
  }
  Handle* handle = call.Find<Handle>("hndlp", hndlp, type);
  if (handle == nullptr) return call.Return(OCI_INVALID_HANDLE);
  if (auto status = call.Injected(nullptr)) return *status;
  const ErrorRecord& record = type == OCI_HTYPE_ERROR ? static_cast<ErrorHandle*>(handle)->record
                                                      : static_cast<Environment*>(handle)->error;
  // Like the client library, no record means OCI_NO_DATA and nothing written at all.
  if (!record.present || recordno != 1) return call.Return(OCI_NO_DATA);
  if (errcodep != nullptr) *errcodep = record.code;
  if (bufp != nullptr && bufsiz > 0) {
    size_t length = std::min<size_t>(record.text.size(), bufsiz - 1);
    std::memcpy(bufp, record.text.data(), length);
    bufp[length] = '\0';
  }
  return call.Return(OCI_SUCCESS);
}

}  // extern "C"
