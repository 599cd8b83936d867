// Servers, sessions and the attributes that tie them to a service context.
#include <string>

#include "handles.h"
#include "oci_api.h"
#include "state.h"

using ocisim::Call;
using ocisim::ErrorRecord;
using ocisim::Registry;
using ocisim::Server;
using ocisim::ServiceContext;
using ocisim::Session;

namespace {

std::string TextOf(const void* text, ub4 size) {
  return text == nullptr ? std::string() : std::string(static_cast<const char*>(text), size);
}

// Counts the session against its server's limit; false when the server is full.
bool Count(Session* session, const Server& server) {
  size_t limit = server.database->session_limit;
  size_t begun = server.sessions->load();
  do {
    if (limit != 0 && begun >= limit) return false;
  } while (!server.sessions->compare_exchange_weak(begun, begun + 1));
  session->counted = server.sessions;
  return true;
}

}  // namespace

extern "C" {

sword OCIServerAttach(OCIServer* srvhp, OCIError* errhp, const OraText* dblink, sb4 dblink_len,
                      ub4 mode) {
  Call call("OCIServerAttach");
  call.Arg("srvhp", srvhp).Arg("errhp", errhp).Text("dblink", dblink, dblink_len);
  call.Arg("dblink_len", dblink_len).Arg("mode", mode);
  auto* server = call.Find<Server>("srvhp", srvhp, OCI_HTYPE_SERVER);
  ErrorRecord* errors = call.Errors(errhp);
  if (server == nullptr || errors == nullptr) return call.Return(OCI_INVALID_HANDLE);
  if (auto status = call.Injected(errors)) return *status;
  if (server->database) return call.Fail(errors, "ORA-24309: already connected to a server");
  std::string service = dblink == nullptr || dblink_len <= 0
                            ? std::string()
                            : std::string(reinterpret_cast<const char*>(dblink), dblink_len);
  std::string problem;
  auto database = call.state().databases.Find(service, &problem);
  if (!database && !problem.empty()) {
    return call.Fail(errors, "ORA-01034: ORACLE not available (" + problem + ")");
  }
  if (!database) {
    return call.Fail(errors, "ORA-12154: TNS:could not resolve the connect identifier specified");
  }
  database->RoundTrip();
  server->database = database;
  server->sessions = call.state().databases.Sessions(service);
  return call.Return(OCI_SUCCESS);
}

sword OCIServerDetach(OCIServer* srvhp, OCIError* errhp, ub4 mode) {
  Call call("OCIServerDetach");
  call.Arg("srvhp", srvhp).Arg("errhp", errhp).Arg("mode", mode);
  auto* server = call.Find<Server>("srvhp", srvhp, OCI_HTYPE_SERVER);
  ErrorRecord* errors = call.Errors(errhp);
  if (server == nullptr || errors == nullptr) return call.Return(OCI_INVALID_HANDLE);
  if (auto status = call.Injected(errors)) return *status;
  if (!server->database) return call.Fail(errors, ocisim::kNotConnected);
  server->database->RoundTrip();
  server->database.reset();
  server->sessions.reset();
  return call.Return(OCI_SUCCESS);
}

sword OCIAttrSet(void* trgthndlp, ub4 trghndltyp, void* attributep, ub4 size, ub4 attrtype,
                 OCIError* errhp) {
  Call call("OCIAttrSet");
  call.Arg("trgthndlp", trgthndlp).Arg("trghndltyp", trghndltyp).Arg("attributep", attributep);
  if (attrtype == OCI_ATTR_USERNAME || attrtype == OCI_ATTR_PASSWORD) {
    call.Text("attribute_text", static_cast<const OraText*>(attributep), static_cast<sb4>(size));
  }
  call.Arg("size", size).Arg("attrtype", attrtype).Arg("errhp", errhp);
  ErrorRecord* errors = call.Errors(errhp);
  if (errors == nullptr) return call.Return(OCI_INVALID_HANDLE);
  ocisim::Handle* target = call.Find<ocisim::Handle>("trgthndlp", trgthndlp, trghndltyp);
  if (target == nullptr) return call.Return(OCI_INVALID_HANDLE);
  if (auto status = call.Injected(errors)) return *status;

  if (trghndltyp == OCI_HTYPE_SVCCTX &&
      (attrtype == OCI_ATTR_SERVER || attrtype == OCI_ATTR_SESSION)) {
    ub4 value_type = attrtype == OCI_ATTR_SERVER ? OCI_HTYPE_SERVER : OCI_HTYPE_SESSION;
    ocisim::Handle* value = call.Find<ocisim::Handle>("attributep", attributep, value_type);
    if (value == nullptr) return call.Return(OCI_INVALID_HANDLE);
    auto* context = static_cast<ServiceContext*>(target);
    (attrtype == OCI_ATTR_SERVER ? context->server : context->session) = Registry::RefTo(value);
    return call.Return(OCI_SUCCESS);
  }
  if (trghndltyp == OCI_HTYPE_SESSION &&
      (attrtype == OCI_ATTR_USERNAME || attrtype == OCI_ATTR_PASSWORD)) {
    auto* session = static_cast<Session*>(target);
    (attrtype == OCI_ATTR_USERNAME ? session->user_name : session->password) =
        TextOf(attributep, size);
    return call.Return(OCI_SUCCESS);
  }
  return call.Fail(errors, "ORA-24315: illegal attribute type");
}

sword OCISessionBegin(OCISvcCtx* svchp, OCIError* errhp, OCISession* usrhp, ub4 credt, ub4 mode) {
  Call call("OCISessionBegin");
  call.Arg("svchp", svchp).Arg("errhp", errhp).Arg("usrhp", usrhp).Arg("credt", credt);
  call.Arg("mode", mode);
  auto* context = call.Find<ServiceContext>("svchp", svchp, OCI_HTYPE_SVCCTX);
  auto* session = call.Find<Session>("usrhp", usrhp, OCI_HTYPE_SESSION);
  ErrorRecord* errors = call.Errors(errhp);
  if (context == nullptr || session == nullptr || errors == nullptr) {
    return call.Return(OCI_INVALID_HANDLE);
  }
  if (auto status = call.Injected(errors)) return *status;
  txscreen::MutexLock serial(&context->calls);
  auto* server = call.state().handles.Resolve<Server>(context->server, OCI_HTYPE_SERVER);
  if (server == nullptr || !server->database) return call.Fail(errors, ocisim::kNotConnected);
  server->database->RoundTrip();
  if (session->begun) return call.Fail(errors, "ORA-24313: user already authenticated");
  if (credt != OCI_CRED_RDBMS) {
    return call.Fail(errors, "ORA-01004: default username feature not supported; logon denied");
  }
  if (!server->database->Authenticates(session->user_name, session->password)) {
    return call.Fail(errors, "ORA-01017: invalid username/password; logon denied");
  }
  if (!Count(session, *server)) {
    return call.Fail(errors, "ORA-00018: maximum number of sessions exceeded");
  }
  session->begun = true;
  session->executions = 0;
  session->lost = false;
  session->server = Registry::RefTo(server);
  session->database = server->database;
  return call.Return(OCI_SUCCESS);
}

sword OCISessionEnd(OCISvcCtx* svchp, OCIError* errhp, OCISession* usrhp, ub4 mode) {
  Call call("OCISessionEnd");
  call.Arg("svchp", svchp).Arg("errhp", errhp).Arg("usrhp", usrhp).Arg("mode", mode);
  auto* context = call.Find<ServiceContext>("svchp", svchp, OCI_HTYPE_SVCCTX);
  ErrorRecord* errors = call.Errors(errhp);
  if (context == nullptr || errors == nullptr) return call.Return(OCI_INVALID_HANDLE);
  // A null session handle means the service context's own session.
  Session* session =
      usrhp == nullptr ? call.state().handles.Resolve<Session>(context->session, OCI_HTYPE_SESSION)
                       : call.Find<Session>("usrhp", usrhp, OCI_HTYPE_SESSION);
  if (session == nullptr) return call.Return(OCI_INVALID_HANDLE);
  if (auto status = call.Injected(errors)) return *status;
  txscreen::MutexLock serial(&context->calls);
  if (session->database) session->database->RoundTrip();
  if (!session->begun) {
    // Nothing to end. Callers that retry a session end they believe failed land here; the
    // stand-in lets it pass and records the superfluous call.
    call.RecordViolation("the session is not begun");
    return call.Return(OCI_SUCCESS);
  }
  session->begun = false;
  {
    txscreen::MutexLock lock(&session->cursors_mutex);
    session->open_cursors.clear();
  }
  session->database.reset();
  session->Uncount();
  if (session->lost) return call.Fail(errors, ocisim::kNotConnected);
  return call.Return(OCI_SUCCESS);
}

// A round trip that asks the server only whether the session still answers.
sword OCIPing(OCISvcCtx* svchp, OCIError* errhp, ub4 mode) {
  Call call("OCIPing");
  call.Arg("svchp", svchp).Arg("errhp", errhp).Arg("mode", mode);
  auto* context = call.Find<ServiceContext>("svchp", svchp, OCI_HTYPE_SVCCTX);
  ErrorRecord* errors = call.Errors(errhp);
  if (context == nullptr || errors == nullptr) return call.Return(OCI_INVALID_HANDLE);
  if (auto status = call.Injected(errors)) return *status;
  txscreen::MutexLock serial(&context->calls);
  Session* session = call.state().handles.Resolve<Session>(context->session, OCI_HTYPE_SESSION);
  if (session == nullptr || !session->begun || session->lost) {
    return call.Fail(errors, ocisim::kNotConnected);
  }
  session->database->RoundTrip();
  return call.Return(OCI_SUCCESS);
}

}  // extern "C"
