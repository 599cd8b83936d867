// The host's own database session, opened as a host opens one and handed to the database rules.
#ifndef TXSCREEN_HOST_ENGINE_SCREENING_SESSION_H_
#define TXSCREEN_HOST_ENGINE_SCREENING_SESSION_H_

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
// a session begun with a user name and password; more sessions on the same environment when the
// host has several workers. The destructor ends each session, detaches and frees every handle.
class HostSession {
 public:
  // `threaded` creates the environment in threaded mode, which calls from several threads need.
  // Gives null and the client library's error text when any step fails; nothing is left behind.
  static std::unique_ptr<HostSession> Open(const ConnectString& connect, bool threaded,
                                           std::string* error);
  ~HostSession();
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;

  // The triple of the first session, to pass to a database rule.
  OciHandles handles() const { return Handles(members_[0]); }
  // Begins `count` more sessions of the same login on the same environment, one for each worker
  // (a real server serves one call at a time per session), all at once: their triples go to
  // `handles`. False when any fails (the server's session limit, say), with how many of them
  // the server gave in `failed` and one failure's reason; then none of them is kept.
  bool OpenMore(const ConnectString& connect, size_t count, std::vector<OciHandles>* handles,
                size_t* failed, std::string* error);
  // The first session's triple with an error handle of its own, for a caller on another thread
  // that shares the session. The handle lives as long as the session. False when it cannot be
  // allocated.
  bool HandlesForThread(OciHandles* handles);
  // Whether every session still answers the server: one round trip each. False once any has lost
  // its connection, which a kept session cannot know without asking.
  bool Alive();

 private:
  struct Member {
    OCIError* err = nullptr;
    OCIServer* server = nullptr;
    OCISvcCtx* svc = nullptr;
    OCISession* session = nullptr;
    bool attached = false;
    bool begun = false;
  };

  HostSession() = default;
  OciHandles Handles(const Member& member) const { return {env_, member.err, member.svc}; }
  bool Begin(const ConnectString& connect, Member* member, std::string* error);
  // Ends and detaches what was begun and attached, then frees the member's handles.
  void Close(Member* member);
  // The same for every one of `members`, all at once.
  void CloseAll(std::vector<Member>* members);

  OCIEnv* env_ = nullptr;
  std::vector<Member> members_;
  std::vector<OCIError*> thread_errors_;
};

// How many sessions this process has begun so far, for a caller that must prove sessions are
// kept rather than opened again.
size_t SessionsBegun();

// The text of error record 1 of `handle` (an error or environment handle, of `type`).
std::string ErrorText(void* handle, ub4 type);

}  // namespace txhost

#endif  // TXSCREEN_HOST_ENGINE_SCREENING_SESSION_H_
