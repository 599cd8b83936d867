// Opening and closing the host's database session through the client library.
#include "session.h"

#include <atomic>
#include <thread>

#include "oci_calls.h"

namespace txhost {
namespace {

using txscreen::Succeeded;

std::atomic<size_t> g_sessions_begun{0};

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

size_t SessionsBegun() { return g_sessions_begun.load(); }

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
  if (!Succeeded(OCIEnvCreate(&session->env_, threaded ? OCI_THREADED : OCI_DEFAULT, nullptr,
                              nullptr, nullptr, nullptr, 0, nullptr))) {
    *error = "cannot create a client-library environment";
    session->env_ = nullptr;
    return nullptr;
  }
  session->members_.emplace_back();
  if (!session->Begin(connect, &session->members_.back(), error)) return nullptr;
  return session;
}

bool HostSession::OpenMore(const ConnectString& connect, size_t count,
                           std::vector<OciHandles>* handles, size_t* failed, std::string* error) {
  std::vector<Member> members(count);
  std::vector<std::string> errors(count);
  std::unique_ptr<bool[]> begun(new bool[count]());
  {
    // Each login on a thread of its own, so that their round trips to the server overlap. A
    // member is touched by its thread alone; the environment is threaded.
    std::vector<std::thread> logins;
    for (size_t i = 0; i < count; ++i) {
      logins.emplace_back([&, i] { begun[i] = Begin(connect, &members[i], &errors[i]); });
    }
    for (std::thread& login : logins) login.join();
  }
  size_t opened = 0;
  for (size_t i = 0; i < count; ++i) opened += begun[i];
  if (opened < count) {
    for (size_t i = 0; i < count; ++i) {
      if (!begun[i]) *error = errors[i];
    }
    // Counted from the sessions the server gave, so that a session limit names the one past it.
    *failed = opened;
    CloseAll(&members);
    return false;
  }
  for (Member& member : members) {
    members_.push_back(member);
    handles->push_back(Handles(member));
  }
  return true;
}

bool HostSession::Begin(const ConnectString& connect, Member* m, std::string* error) {
  if (!Alloc(env_, &m->err, OCI_HTYPE_ERROR) || !Alloc(env_, &m->server, OCI_HTYPE_SERVER) ||
      !Alloc(env_, &m->svc, OCI_HTYPE_SVCCTX) || !Alloc(env_, &m->session, OCI_HTYPE_SESSION)) {
    *error = "cannot allocate the session's handles";
    return false;
  }
  const auto* service = reinterpret_cast<const OraText*>(connect.service.data());
  if (!Succeeded(OCIServerAttach(m->server, m->err, service,
                                 static_cast<sb4>(connect.service.size()), OCI_DEFAULT))) {
    *error = "cannot reach " + connect.service + ": " + ErrorText(m->err, OCI_HTYPE_ERROR);
    return false;
  }
  m->attached = true;
  auto text = [](const std::string& value) {
    return static_cast<void*>(const_cast<char*>(value.data()));
  };
  if (!Succeeded(OCIAttrSet(m->svc, OCI_HTYPE_SVCCTX, m->server, 0, OCI_ATTR_SERVER, m->err)) ||
      !Succeeded(OCIAttrSet(m->session, OCI_HTYPE_SESSION, text(connect.user),
                            static_cast<ub4>(connect.user.size()), OCI_ATTR_USERNAME, m->err)) ||
      !Succeeded(OCIAttrSet(m->session, OCI_HTYPE_SESSION, text(connect.password),
                            static_cast<ub4>(connect.password.size()), OCI_ATTR_PASSWORD,
                            m->err)) ||
      !Succeeded(OCISessionBegin(m->svc, m->err, m->session, OCI_CRED_RDBMS, OCI_DEFAULT))) {
    *error = "cannot log in to " + connect.service + " as " + connect.user + ": " +
             ErrorText(m->err, OCI_HTYPE_ERROR);
    return false;
  }
  m->begun = true;
  ++g_sessions_begun;
  if (!Succeeded(OCIAttrSet(m->svc, OCI_HTYPE_SVCCTX, m->session, 0, OCI_ATTR_SESSION, m->err))) {
    *error = "cannot use the session: " + ErrorText(m->err, OCI_HTYPE_ERROR);
    return false;
  }
  return true;
}

bool HostSession::HandlesForThread(OciHandles* handles) {
  OCIError* err = nullptr;
  if (!Alloc(env_, &err, OCI_HTYPE_ERROR)) return false;
  thread_errors_.push_back(err);
  *handles = {env_, err, members_[0].svc};
  return true;
}

HostSession::~HostSession() {
  CloseAll(&members_);
  for (OCIError* err : thread_errors_) OCIHandleFree(err, OCI_HTYPE_ERROR);
  if (env_) OCIHandleFree(env_, OCI_HTYPE_ENV);
}

void HostSession::CloseAll(std::vector<Member>* members) {
  // Each on a thread of its own but the first, as they were begun: the round trips of their
  // session ends and detaches overlap.
  std::vector<std::thread> closes;
  for (size_t i = 1; i < members->size(); ++i) {
    closes.emplace_back([this, members, i] { Close(&(*members)[i]); });
  }
  if (!members->empty()) Close(&members->front());
  for (std::thread& close : closes) close.join();
}

bool HostSession::Alive() {
  for (Member& member : members_) {
    if (!member.begun || !Succeeded(OCIPing(member.svc, member.err, OCI_DEFAULT))) return false;
  }
  return true;
}

void HostSession::Close(Member* m) {
  if (m->begun) OCISessionEnd(m->svc, m->err, m->session, OCI_DEFAULT);
  if (m->attached) OCIServerDetach(m->server, m->err, OCI_DEFAULT);
  if (m->session) OCIHandleFree(m->session, OCI_HTYPE_SESSION);
  if (m->svc) OCIHandleFree(m->svc, OCI_HTYPE_SVCCTX);
  if (m->server) OCIHandleFree(m->server, OCI_HTYPE_SERVER);
  if (m->err) OCIHandleFree(m->err, OCI_HTYPE_ERROR);
  *m = Member();
}

}  // namespace txhost
