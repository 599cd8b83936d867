// The stand-in's databases and the files a database can be loaded from.
#include "database.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
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

// Calls `take(first, second, line_number)` for each data line of a two-column file.
template <class Take>
bool ReadPairs(const std::string& path, std::string* error, Take take) {
  std::ifstream in(path);
  if (!in) {
    *error = path + ": cannot be read";
    return false;
  }
  std::string line;
  bool header = true;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    if (header) {
      header = false;
      continue;
    }
    size_t comma = line.find(',');
    if (comma == std::string::npos || line.find(',', comma + 1) != std::string::npos) {
      *error = path + ":" + std::to_string(number) + ": expected two comma-separated fields";
      return false;
    }
    if (!take(line.substr(0, comma), line.substr(comma + 1), number)) {
      *error = path + ":" + std::to_string(number) + ": not a valid line";
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

bool Count(const std::string& text, uint64_t* count) {
  char* end = nullptr;
  unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || text[0] == '-' || value == 0) return false;
  *count = value;
  return true;
}

// One line of faults.conf; false when it is not one of the documented forms.
bool ReadFault(const std::string& line, Database* database) {
  std::string rest;
  std::vector<std::string> words = Words(line, 3, &rest);
  ServerFaults& faults = database->faults;
  if (words.size() == 3 && words[0] == "raise" && words[1] == "account" && !rest.empty()) {
    faults.raise_for_account[words[2]] = rest;
    return true;
  }
  if (words.size() == 3 && words[0] == "raise" && words[1] == "every" && !rest.empty()) {
    faults.raise_every_text = rest;
    return Count(words[2], &faults.raise_every);
  }
  if (words == std::vector<std::string>{"procedure", "missing"} && rest.empty()) {
    database->body = ProcedureBody::kMissing;
    return true;
  }
  words = Words(line, 4, &rest);
  if (words.size() == 4 && words[0] == "session" && words[1] == "lost" && words[2] == "after" &&
      rest.empty()) {
    return Count(words[3], &faults.session_lost_after);
  }
  return false;
}

// One line of server.conf; false when it is not one of the documented forms.
bool ReadSetting(const std::string& line, Database* database) {
  std::string rest;
  std::vector<std::string> words = Words(line, 3, &rest);
  uint64_t count = 0;
  if (words.size() == 3 && words[0] == "round" && words[1] == "trip" && rest.empty()) {
    const std::string& value = words[2];
    size_t digits = value.find_first_not_of("0123456789");
    if (digits == 0 || digits == std::string::npos) return false;
    std::string unit = value.substr(digits);
    if (unit != "us" && unit != "ms") return false;
    uint64_t amount = std::stoull(value.substr(0, digits));
    database->round_trip = std::chrono::microseconds(unit == "ms" ? amount * 1000 : amount);
    return true;
  }
  if (words.size() == 2 && words[0] == "sessions" && rest.empty() && Count(words[1], &count)) {
    database->session_limit = count;
    return true;
  }
  if (words.size() == 3 && words[0] == "open" && words[1] == "cursors" && rest.empty() &&
      Count(words[2], &count)) {
    database->open_cursor_limit = count;
    return true;
  }
  return false;
}

// Calls `read(line)` for each line of an optional file that is not blank or a comment; the
// first line it refuses is named, with what was `expected`.
template <class Read>
bool ReadLines(const std::string& path, const char* expected, std::string* error, Read read) {
  std::ifstream in(path);
  if (!in) return true;  // the file is optional
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    if (!read(line)) {
      *error = path + ":" + std::to_string(number) + ": expected " + expected;
      return false;
    }
  }
  return true;
}

}  // namespace

void Database::RoundTrip() const {
  if (round_trip.count() > 0) std::this_thread::sleep_for(round_trip);
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
                [&](const std::string& user, const std::string& password, int) {
                  if (user.empty()) return false;
                  database->passwords[UpperCase(user)] = password;
                  return true;
                }) &&
      ReadPairs(directory + "/history.csv", error,
                [&](const std::string& account, const std::string& amount, int) {
                  char* end = nullptr;
                  double value = std::strtod(amount.c_str(), &end);
                  if (account.empty() || amount.empty() || *end != '\0') return false;
                  database->history[account].push_back(value);
                  return true;
                }) &&
      ReadLines(directory + "/faults.conf",
                "\"raise account ACCOUNT TEXT\", \"raise every N TEXT\", "
                "\"procedure missing\" or \"session lost after N\"",
                error, [&](const std::string& line) { return ReadFault(line, database.get()); }) &&
      ReadLines(directory + "/server.conf",
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
  std::lock_guard<std::mutex> lock(mutex_);
  databases_[UpperCase(service)] = std::move(database);
}

std::shared_ptr<SessionCount> Catalog::Sessions(const std::string& service) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto& count = sessions_[UpperCase(service)];
  if (!count) count = std::make_shared<SessionCount>(0);
  return count;
}

void Catalog::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  databases_.clear();
  sessions_.clear();
}

std::shared_ptr<Database> Catalog::FindDefined(const std::string& service) const {
  std::lock_guard<std::mutex> lock(mutex_);
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
  std::string directory = std::string(root) + "/" + service;
  std::ifstream probe(directory + "/users.csv");
  if (!probe) return nullptr;
  return LoadDatabase(directory, problem);
}

}  // namespace ocisim
