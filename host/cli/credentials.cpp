// Resolving, masking and wiping the host's database password.
#include "credentials.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file_system.h"
#include "terminal.h"

namespace txhost {

bool ReadSecretLine(const std::string& option, const std::string& path, std::string* secret,
                    std::string* error) {
  PathFacts facts;
  std::string problem;
  if (!InspectPath(path, &facts, &problem) || facts.is_directory) {
    *error = option + " " + (facts.is_directory ? path + ": " + ErrnoText(EISDIR) : problem);
    return false;
  }
  errno = 0;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = option + " " + path + ": " + ErrnoText(errno != 0 ? errno : EIO);
    return false;
  }
  if (OthersMayRead(path)) {
    std::fprintf(stderr,
                 "txhost: warning: %s %s can be read by others; keep it to yourself "
                 "(chmod 600)\n",
                 option.c_str(), path.c_str());
  }
  std::setvbuf(file, nullptr, _IONBF, 0);
  errno = 0;
  for (int c; (c = std::fgetc(file)) != EOF && c != '\n';)
    secret->push_back(static_cast<char>(c));
  int failure = std::ferror(file) != 0 ? (errno != 0 ? errno : EIO) : 0;
  std::fclose(file);
  if (!secret->empty() && secret->back() == '\r') secret->pop_back();
  if (failure != 0) {
    *error = option + " " + path + ": " + ErrnoText(failure);
    Wipe(secret);
    return false;
  }
  return true;
}

namespace {

bool ReadPasswordFile(const std::string& path, std::string* password, std::string* error) {
  return ReadSecretLine("--password-file", path, password, error);
}

// TXHOST_PASSWORD as it was at start-up, before it was hidden.
std::string& PasswordFromEnvironment() {
  static std::string password;
  return password;
}
bool g_environment_has_password = false;

// Where the password starts and ends in "user/password@service", or npos when there is none.
void PasswordSpan(const std::string& connect, size_t* begin, size_t* end) {
  size_t slash = connect.find('/');
  size_t at = connect.rfind('@');
  if (slash == std::string::npos || (at != std::string::npos && at < slash)) {
    *begin = *end = std::string::npos;
    return;
  }
  *begin = slash + 1;
  *end = at == std::string::npos ? connect.size() : at;
}

// Overwrites `text` in place with `shown` (cut to fit) and zeros after it.
void OverwriteInPlace(char* text, const std::string& shown) {
  size_t length = std::strlen(text);
  size_t kept = std::min(length, shown.size());
  std::memcpy(text, shown.data(), kept);
  std::memset(text + kept, 0, length - kept);
}

}  // namespace

void Wipe(std::string* secret) {
  volatile char* bytes = secret->empty() ? nullptr : &(*secret)[0];
  for (size_t i = 0; i < secret->size(); ++i) bytes[i] = 0;
  secret->clear();
}

std::string MaskedConnect(const std::string& connect) {
  size_t begin, end;
  PasswordSpan(connect, &begin, &end);
  if (begin == std::string::npos) return connect;
  return connect.substr(0, begin) + "***" + connect.substr(end);
}

bool ResolveLogin(const std::string& connect, const std::string& password_file,
                  ConnectString* login, std::string* error) {
  if (!ParseConnectString(connect, login, error)) {
    *error = "\"" + MaskedConnect(connect) + "\" is not of the form user[/password]@service";
    return false;
  }
  if (login->has_password && !password_file.empty()) {
    *error = "the password is given twice: in --connect and in --password-file " + password_file;
    return false;
  }
  if (login->has_password) return true;
  if (!password_file.empty()) return ReadPasswordFile(password_file, &login->password, error);
  if (g_environment_has_password) {
    login->password = PasswordFromEnvironment();
    return true;
  }
  std::string prompt = "Password for " + login->user + "@" + login->service + ": ";
  std::string reason;
  if (ReadHiddenLine(prompt, &login->password, &reason)) return true;
  *error = "no password for " + login->user + "@" + login->service + " and no terminal to ask (" +
           reason + "); give it with --password-file or " + kPasswordVariable;
  return false;
}

void HidePasswordsFromProcessList(int argc, char** argv) {
  if (const char* variable = std::getenv(kPasswordVariable)) {
    PasswordFromEnvironment() = variable;
    g_environment_has_password = true;
  }
  if (!ProcessListShowsArguments()) return;
  for (int i = 1; i < argc; ++i) {
    char* value = nullptr;
    if (std::strcmp(argv[i], "--connect") == 0 && i + 1 < argc) {
      value = argv[++i];
    } else if (std::strncmp(argv[i], "--connect=", 10) == 0) {
      value = argv[i] + 10;
    }
    if (value == nullptr) continue;
    std::string text = value;
    size_t begin, end;
    PasswordSpan(text, &begin, &end);
    if (begin != std::string::npos && end > begin) {
      std::string shown = MaskedConnect(text);
      OverwriteInPlace(value, shown);
    }
    Wipe(&text);
  }
  // The environment block is what others read, and getenv gives its address.
  if (char* variable = std::getenv(kPasswordVariable)) OverwriteInPlace(variable, "***");
}

}  // namespace txhost
