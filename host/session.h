// The host's own database session, opened as a host opens one and handed to the database rules.
#ifndef TXSCREEN_HOST_SESSION_H_
#define TXSCREEN_HOST_SESSION_H_

#include <memory>
#include <string>
#include <vector>

#include "rule_types.h"

namespace txhost {

// "user/password@service", the usual form of the client tools, or "user@service" when the
// password comes from elsewhere. The password runs to the last '@', so it may hold '/' and '@'
// itself. The error never repeats the text, which may hold a password.
struct ConnectString {
  std::string user;
  std::string password;
  std::string service;
  bool has_password = false;
};
bool ParseConnectString(const std::string& text, ConnectString* connect, std::string* error);

// An environment, an error handle, a server attached by net service name, a service context and
// a session begun with a user name and password. The destructor ends the session, detaches and
// frees every handle.
class HostSession {
 public:
  // `threaded` creates the environment in threaded mode, which calls from several threads need.
  // Gives null and the client library's error text when any step fails; nothing is left behind.
  static std::unique_ptr<HostSession> Open(const ConnectString& connect, bool threaded,
                                           std::string* error);
  ~HostSession();
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;

  // The triple to pass to a database rule, with the session's own error handle.
  OciHandles handles() const { return {env_, err_, svc_}; }
  // The triple with an error handle of its own, for a caller on another thread. The handle lives
  // as long as the session. Null when the allocation fails.
  bool HandlesForThread(OciHandles* handles);

 private:
  HostSession() = default;
  // Frees what exists, in reverse order of creation; ends and detaches only what was begun.
  void Close();

  OCIEnv* env_ = nullptr;
  OCIError* err_ = nullptr;
  OCIServer* server_ = nullptr;
  OCISvcCtx* svc_ = nullptr;
  OCISession* session_ = nullptr;
  bool attached_ = false;
  bool begun_ = false;
  std::vector<OCIError*> thread_errors_;
};

// The text of error record 1 of `handle` (an error or environment handle, of `type`).
std::string ErrorText(void* handle, ub4 type);

}  // namespace txhost

#endif  // TXSCREEN_HOST_SESSION_H_
