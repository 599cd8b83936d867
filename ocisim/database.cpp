// The stand-in's databases and the files a database can be loaded from.
#include "database.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <sstream>

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

}  // namespace

std::shared_ptr<Database> LoadDatabase(const std::string& directory, std::string* error) {
  auto database = std::make_shared<Database>();
  bool ok = ReadPairs(directory + "/users.csv", error,
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
                      });
  return ok ? database : nullptr;
}

std::shared_ptr<Database> Catalog::Define(const std::string& service) {
  auto database = std::make_shared<Database>();
  Define(service, database);
  return database;
}

void Catalog::Define(const std::string& service, std::shared_ptr<Database> database) {
  databases_[UpperCase(service)] = std::move(database);
}

std::shared_ptr<Database> Catalog::FindDefined(const std::string& service) const {
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
  if (service.empty() || service[0] == '.' ||
      service.find_first_of("/\\") != std::string::npos) {
    return nullptr;
  }
  std::string directory = std::string(root) + "/" + service;
  std::ifstream probe(directory + "/users.csv");
  if (!probe) return nullptr;
  return LoadDatabase(directory, problem);
}

}  // namespace ocisim
