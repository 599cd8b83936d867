// The stand-in's databases and the files a database can be loaded from.
#include "database.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <numeric>
#include <sstream>
#include <thread>

namespace ocisim {

std::string UpperCase(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool Database::Authenticates(const std::string& user, const std::string& password) const {
  auto it = passwords.find(UpperCase(user));
  return it != passwords.end() && it->second == password;
}

sb4 Database::IsOverAverage(const std::string& account, double amount) const {
  auto it = history.find(account);
  if (it == history.end() || it->second.empty()) return 0;
  const std::vector<double>& amounts = it->second;
  double average = std::accumulate(amounts.begin(), amounts.end(), 0.0) / amounts.size();
  return amount > average ? 1 : 0;
}

namespace {

constexpr uint64_t kMaxSessions = 1000000;
constexpr uint64_t kMaxRoundTripMicroseconds = 60000000;  // a minute

// Reads every line of `path`. An optional file may be absent; a file that is there but cannot be
// read (a directory, no permission, a failed read) is an error, never taken for an empty one.
bool ReadFileLines(const std::string& path, bool optional, std::vector<std::string>* lines,
                   std::string* error) {
  std::error_code code;
  std::filesystem::file_status status = std::filesystem::status(path, code);
  if (!std::filesystem::exists(status)) {
    if (optional) return true;
    *error = path + ": " + std::strerror(ENOENT);
    return false;
  }
  if (std::filesystem::is_directory(status)) {
    *error = path + ": " + std::strerror(EISDIR);
    return false;
  }
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": " + std::strerror(errno != 0 ? errno : EIO);
    return false;
  }
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines->push_back(std::move(line));
  }
  if (in.bad()) {
    *error = path + ": " + std::strerror(EIO);
    return false;
  }
  return true;
}

// Calls `take(first, second)` for each data line of a two-column file.
template <class Take>
bool ReadPairs(const std::string& path, std::string* error, Take take) {
  std::vector<std::string> lines;
  if (!ReadFileLines(path, false, &lines, error)) return false;
  bool header = true;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (line.empty() || line[0] == '#') continue;
    if (header) {
      header = false;
      continue;
    }
    const std::string at = path + ":" + std::to_string(i + 1) + ": ";
    size_t comma = line.find(',');
    if (comma == std::string::npos || line.find(',', comma + 1) != std::string::npos) {
      *error = at + "expected two comma-separated fields";
      return false;
    }
    if (!take(line.substr(0, comma), line.substr(comma + 1))) {
      *error = at + "not a valid line";
      return false;
    }
  }
  return true;
}

std::vector<std::string> Words(const std::string& line, size_t count, std::string* rest) {
  std::istringstream in(line);
  rest->clear();
  std::vector<std::string> words;
  std::string word;
  while (words.size() < count && in >> word) words.push_back(word);
  std::getline(in >> std::ws, *rest);
  return words;
}

// A whole number from 1 to `max`, digits only. The problem, or empty.
std::string Count(const std::string& text, uint64_t max, uint64_t* count) {
  uint64_t value = 0;
  auto [end, code] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || end != text.data() + text.size() || (code != std::errc() &&
                                                           code != std::errc::result_out_of_range)) {
    return "form";
  }
  if (code == std::errc::result_out_of_range || value == 0 || value > max) {
    return text + " is out of range (1 to " + std::to_string(max) + ")";
  }
  *count = value;
  return "";
}

// A line of a settings file: its setting's name, for telling a repeat, and the problem with it:
// "form" when it is not one of the documented forms, empty when it is fine.
struct SettingLine {
  std::string name;
  std::string problem;
};

SettingLine ReadFault(const std::string& line, Database* database) {
  std::string rest;
  std::vector<std::string> words = Words(line, 3, &rest);
  ServerFaults& faults = database->faults;
  if (words.size() == 3 && words[0] == "raise" && words[1] == "account" && !rest.empty()) {
    faults.raise_for_account[words[2]] = rest;
    return {"raise account " + words[2], ""};
  }
  if (words.size() == 3 && words[0] == "raise" && words[1] == "every" && !rest.empty()) {
    faults.raise_every_text = rest;
    return {"raise every", Count(words[2], UINT64_MAX, &faults.raise_every)};
  }
  if (words == std::vector<std::string>{"procedure", "missing"} && rest.empty()) {
    database->body = ProcedureBody::kMissing;
    return {"procedure missing", ""};
  }
  words = Words(line, 4, &rest);
  if (words.size() == 4 && words[0] == "session" && words[1] == "lost" && words[2] == "after" &&
      rest.empty()) {
    return {"session lost after", Count(words[3], UINT64_MAX, &faults.session_lost_after)};
  }
  return {"", "form"};
}

SettingLine ReadRoundTrip(const std::string& value, Database* database) {
  size_t digits = value.find_first_not_of("0123456789");
  if (digits == 0 || digits == std::string::npos) return {"round trip", "form"};
  std::string unit = value.substr(digits);
  if (unit != "us" && unit != "ms") return {"round trip", "form"};
  uint64_t amount = 0;
  const uint64_t scale = unit == "ms" ? 1000 : 1;
  std::string problem = Count(value.substr(0, digits), kMaxRoundTripMicroseconds / scale, &amount);
  if (problem == "form") return {"round trip", "form"};
  if (!problem.empty() && value.substr(0, digits) != "0") {
    return {"round trip", "round trip " + value + " is out of range (at most 60s)"};
  }
  database->round_trip = std::chrono::microseconds(amount * scale);
  return {"round trip", ""};
}

SettingLine ReadSetting(const std::string& line, Database* database) {
  std::string rest;
  std::vector<std::string> words = Words(line, 3, &rest);
  uint64_t count = 0;
  if (words.size() == 3 && words[0] == "round" && words[1] == "trip" && rest.empty()) {
    return ReadRoundTrip(words[2], database);
  }
  if (words.size() == 2 && words[0] == "sessions" && rest.empty()) {
    std::string problem = Count(words[1], kMaxSessions, &count);
    database->session_limit = count;
    return {"sessions", problem};
  }
  if (words.size() == 3 && words[0] == "open" && words[1] == "cursors" && rest.empty()) {
    std::string problem = Count(words[2], kMaxSessions, &count);
    database->open_cursor_limit = count;
    return {"open cursors", problem};
  }
  return {"", "form"};
}

// Calls `read(line)` for each line of an optional file that is not blank or a comment. The
// first line it refuses is named, with what was `expected`, and so is a setting given twice.
template <class Read>
bool ReadSettings(const std::string& path, const char* expected, std::string* error, Read read) {
  std::vector<std::string> lines;
  if (!ReadFileLines(path, true, &lines, error)) return false;
  std::map<std::string, size_t> first_line;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    const std::string at = path + ":" + std::to_string(i + 1) + ": ";
    SettingLine setting = read(line);
    if (setting.problem == "form") {
      *error = at + "expected " + expected;
      return false;
    }
    if (!setting.problem.empty()) {
      *error = at + setting.problem;
      return false;
    }
    auto [seen, first] = first_line.emplace(setting.name, i + 1);
    if (!first) {
      *error = at + setting.name + " is set twice (first on line " +
               std::to_string(seen->second) + ")";
      return false;
    }
  }
  return true;
}

}  // namespace

void Database::RoundTrip() const {
  if (round_trip.count() == 0) return;
  const size_t now = ++round_trips_now;
  for (size_t most = most_round_trips.load(); now > most;) {
    if (most_round_trips.compare_exchange_weak(most, now)) break;
  }
  std::this_thread::sleep_for(round_trip);
  --round_trips_now;
}

std::string Database::RaisedBy(const std::string& account) {
  auto it = faults.raise_for_account.find(account);
  if (it != faults.raise_for_account.end()) return it->second;
  if (faults.raise_every == 0) return "";
  uint64_t run = ++procedure_runs;
  return run % faults.raise_every == 0 ? faults.raise_every_text : "";
}

std::shared_ptr<Database> LoadDatabase(const std::string& directory, std::string* error) {
  auto database = std::make_shared<Database>();
  bool ok =
      ReadPairs(directory + "/users.csv", error,
                [&](const std::string& user, const std::string& password) {
                  if (user.empty()) return false;
                  database->passwords[UpperCase(user)] = password;
                  return true;
                }) &&
      ReadPairs(directory + "/history.csv", error,
                [&](const std::string& account, const std::string& amount) {
                  char* end = nullptr;
                  double value = std::strtod(amount.c_str(), &end);
                  if (account.empty() || amount.empty() || *end != '\0') return false;
                  database->history[account].push_back(value);
                  return true;
                }) &&
      ReadSettings(directory + "/faults.conf",
                "\"raise account ACCOUNT TEXT\", \"raise every N TEXT\", "
                "\"procedure missing\" or \"session lost after N\"",
                error, [&](const std::string& line) { return ReadFault(line, database.get()); }) &&
      ReadSettings(directory + "/server.conf",
                "\"round trip Nus\" (or Nms), \"sessions N\" or \"open cursors N\"", error,
                [&](const std::string& line) { return ReadSetting(line, database.get()); });
  return ok ? database : nullptr;
}

std::shared_ptr<Database> Catalog::Define(const std::string& service) {
  auto database = std::make_shared<Database>();
  Define(service, database);
  return database;
}

void Catalog::Define(const std::string& service, std::shared_ptr<Database> database) {
  txscreen::MutexLock lock(&mutex_);
  databases_[UpperCase(service)] = std::move(database);
}

std::shared_ptr<SessionCount> Catalog::Sessions(const std::string& service) {
  txscreen::MutexLock lock(&mutex_);
  auto& count = sessions_[UpperCase(service)];
  if (!count) count = std::make_shared<SessionCount>(0);
  return count;
}

void Catalog::Clear() {
  txscreen::MutexLock lock(&mutex_);
  databases_.clear();
  sessions_.clear();
}

std::shared_ptr<Database> Catalog::FindDefined(const std::string& service) const {
  txscreen::MutexLock lock(&mutex_);
  auto it = databases_.find(UpperCase(service));
  return it == databases_.end() ? nullptr : it->second;
}

std::shared_ptr<Database> Catalog::Find(const std::string& service, std::string* problem) const {
  if (auto database = FindDefined(service)) return database;
  // Without a directory of its own choosing, a run finds the sample database shipped with the
  // sources.
  const char* root = std::getenv("OCISIM_DATABASES");
  if (root == nullptr || *root == '\0') root = OCISIM_DEFAULT_DATABASES;
  // A name never reaches outside the databases directory.
  if (service.empty() || service[0] == '.' || service.find_first_of("/\\") != std::string::npos) {
    return nullptr;
  }
  // A service is a directory; what is wrong with its files is the server's fault, not the name's.
  std::string directory = std::string(root) + "/" + service;
  std::error_code code;
  if (!std::filesystem::is_directory(directory, code)) return nullptr;
  return LoadDatabase(directory, problem);
}

}  // namespace ocisim
