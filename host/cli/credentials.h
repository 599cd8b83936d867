// The database login: where its password comes from, and keeping it out of sight and memory.
//
// The password of `--connect user/password@service` is taken, in this order, from:
//   1. the connect string itself (the least safe way: the command line is visible to others
//      while the process starts, and stays in shell history);
//   2. the first line of the file given with --password-file;
//   3. the environment variable TXHOST_PASSWORD;
//   4. a prompt on the terminal, without echo, when there is one.
#ifndef TXSCREEN_HOST_CLI_CREDENTIALS_H_
#define TXSCREEN_HOST_CLI_CREDENTIALS_H_

#include <string>

#include "session.h"

namespace txhost {

constexpr char kPasswordVariable[] = "TXHOST_PASSWORD";

// Parses `connect` ("user/password@service" or "user@service") and finds the password by the
// order above. False with a reason, which never holds the password.
bool ResolveLogin(const std::string& connect, const std::string& password_file,
                  ConnectString* login, std::string* error);

// The first line of the secret file `path`, read without a stream buffer that would keep a
// copy; a warning when others may read the file. False with "OPTION path: reason".
bool ReadSecretLine(const std::string& option, const std::string& path, std::string* secret,
                    std::string* error);

// The connect string as it may be shown: "scott/***@db".
std::string MaskedConnect(const std::string& connect);

// Overwrites a secret where it lies before letting it go; a plain clear would leave the bytes.
void Wipe(std::string* secret);

// Keeps TXHOST_PASSWORD for ResolveLogin, then hides it and the passwords of the process's own
// --connect arguments from others that read them (ps, /proc/PID/cmdline and environ) by
// overwriting them in place with "***". Call it once, at the start of main, after copying the
// arguments. Where the system keeps a copy of the command line of its own (Windows), only the
// variable is kept.
void HidePasswordsFromProcessList(int argc, char** argv);

}  // namespace txhost

#endif  // TXSCREEN_HOST_CLI_CREDENTIALS_H_
