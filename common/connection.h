// TConnection: a database session with a login of its own, apart from the host's handles.
//
// Use: construct, SetLogin, Connect, use the handles, Disconnect (or leave it to the destructor),
// destroy. The object owns the five handles it creates; they are plain fields for the holder to
// read and are null whenever the object is disconnected. One object belongs to one thread at a
// time (its environment is not threaded); separate objects are independent.
//
// The server: when the third login text is non-empty, Connect attaches to it as the net service
// name; when it is empty, to kDefaultServiceName.
//
// The password stays in the object across Disconnect, so a later Connect can log in again, and is
// wiped when the object is destroyed or SetLogin stores a new one.
#ifndef TXSCREEN_COMMON_CONNECTION_H_
#define TXSCREEN_COMMON_CONNECTION_H_

#include <cstddef>
#include <cstdint>

#include "oci_api.h"

namespace txscreen {

class TConnection {
 public:
  static constexpr int32_t kStateDisconnected = -2;
  static constexpr int32_t kStateConnected = -1;
  static constexpr char kDefaultServiceName[] = "SCORING";
  static constexpr size_t kUserNameSize = 50;
  static constexpr size_t kPasswordSize = 50;
  static constexpr size_t kServiceNameSize = 100;
  static constexpr size_t kLoginErrorSize = 512;

  // Null handles, disconnected, empty login texts.
  TConnection();
  // Disconnects a connected object (its result is not used), releases whatever handles are
  // still held even when that failed, and wipes the password.
  ~TConnection();
  TConnection(const TConnection&) = delete;
  TConnection& operator=(const TConnection&) = delete;

  // Stores the user name, the password and the net service name, in that order; each must be
  // shorter than its area (49, 49 and 99 bytes at most). 1 when all three were stored; 0 at the
  // first text that is too long, which leaves it and the texts after it as they were.
  int32_t SetLogin(const char* user_name, const char* password, const char* service_name);

  // Creates the environment and the error, server, service-context and session handles, and
  // attaches the server; no status is tested. Releases first what an earlier AllocHandles left
  // on a disconnected object. Always 0.
  int32_t AllocHandles();

  // -1 when already connected (and nothing is done). Otherwise allocates the handles, sets the
  // login on the session and begins it: 0 and kStateConnected unless the session begin returns
  // OCI_ERROR (any other status counts as success). On OCI_ERROR: 1, still disconnected, every
  // handle released, and the database's text in login_error. Nothing is ever shown.
  int32_t Connect();

  // -2 when not connected (and nothing is done). Otherwise ends the session: any status but
  // OCI_SUCCESS is returned as it is, with nothing released and the object still connected (the
  // destructor tries again). After a successful end: detaches, releases the handles in the order
  // service context, session, server, error, environment, nulls them, and returns 0.
  int32_t Disconnect();

  char user_name[kUserNameSize];
  char password[kPasswordSize];
  char service_name[kServiceNameSize];
  int32_t state;
  OCIEnv* env;
  OCIError* err;
  OCISvcCtx* svc;
  OCISession* session;
  OCIServer* server;
  // Error record 1 of the last failed session begin; empty after a successful Connect.
  char login_error[kLoginErrorSize];

 private:
  // Detaches the server and frees every handle held, in the fixed order, leaving them null.
  void ReleaseHandles();
};

}  // namespace txscreen

#endif  // TXSCREEN_COMMON_CONNECTION_H_
