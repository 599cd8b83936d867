// The stand-in's databases: users, account history and the scoring procedure, by service name.
#ifndef TXSCREEN_OCISIM_DATABASE_H_
#define TXSCREEN_OCISIM_DATABASE_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "oci_api.h"
#include "thread_annotations.h"

namespace ocisim {

// What scoring.isOverAverage does when it runs.
enum class ProcedureBody {
  kAverage,    // risk 1 when the amount is over the account's average amount, else 0
  kFixedRisk,  // risk is a value set by the test
  kRaise,      // raises a database error with a text set by the test
  kMissing,    // the procedure does not exist
};

// The sessions begun on one server, counted against its limit.
using SessionCount = std::atomic<size_t>;

// Faults of the server itself, declared in a database directory's faults.conf so that a run can
// rehearse them without code.
struct ServerFaults {
  std::map<std::string, std::string> raise_for_account;  // account -> the error it raises
  uint64_t raise_every = 0;                              // 0: never
  std::string raise_every_text;
  uint64_t session_lost_after = 0;  // executions a session serves before it is lost; 0: never
};

struct Database {
  static constexpr size_t kDefaultOpenCursors = 50;  // the server's usual open_cursors limit

  std::map<std::string, std::string> passwords;        // by upper-case user name
  std::map<std::string, std::vector<double>> history;  // amounts by account identifier
  ProcedureBody body = ProcedureBody::kAverage;
  sb4 fixed_risk = 0;
  std::string raise_text;
  size_t open_cursor_limit = kDefaultOpenCursors;
  // The server model. Each call that goes to the server (attach and detach, session begin and
  // end, statement execution) waits one round trip; 0 answers at once.
  std::chrono::microseconds round_trip{0};
  size_t session_limit = 0;  // concurrent sessions; 0 for no limit
  ServerFaults faults;
  // Runs of the procedure so far, for the faults that strike every nth run.
  std::atomic<uint64_t> procedure_runs{0};
  // Round trips under way now, and the most there were at once since the server model was set:
  // whether a client's calls overlap.
  mutable std::atomic<size_t> round_trips_now{0};
  mutable std::atomic<size_t> most_round_trips{0};

  bool Authenticates(const std::string& user, const std::string& password) const;
  // The default body: 1 when `amount` is over the average of the account's recorded amounts, 0
  // otherwise, and 0 for an account without history.
  sb4 IsOverAverage(const std::string& account, double amount) const;
  // The error text that this run of the procedure for `account` raises by the declared faults;
  // empty when it runs normally. Counts the run.
  std::string RaisedBy(const std::string& account);
  // Waits one round trip to the server.
  void RoundTrip() const;
};

// Reads users.csv ("user,password" lines) and history.csv ("account,amount" lines) from
// `directory`; each file starts with a header line, and '#' starts a comment line. An optional
// faults.conf declares server faults, one per line:
//   raise account ACC-0042 ORA-20001: account under review   that account's runs raise the text
//   raise every 50 ORA-04031: unable to allocate memory     every 50th run raises the text
//   procedure missing                                       scoring.isOverAverage does not exist
//   session lost after 200                                  each session serves 200 executions,
//                                                           then its connection is gone
// An optional server.conf declares the server model, one setting per line:
//   round trip 200us      every call that goes to the server waits this long (us or ms)
//   sessions 4            at most this many sessions at once; the next login gets ORA-00018
//   open cursors 50       each session's open-cursor limit
// Gives null and a reason when a file is missing or a line is malformed.
std::shared_ptr<Database> LoadDatabase(const std::string& directory, std::string* error);

// Net service names and the databases they reach. Names match without regard to case. Its lock
// guards the names; a database is set up before sessions use it.
class Catalog {
 public:
  // Replaces whatever the name reached with a new, empty database.
  std::shared_ptr<Database> Define(const std::string& service);
  void Define(const std::string& service, std::shared_ptr<Database> database);
  // A defined database, or else one read from $OCISIM_DATABASES/<service>/ (by default the
  // sources' examples/databases/) at every look-up, as a real server would have it on disk. Null
  // when the name resolves to nothing, and then `problem` says why when the files were there but
  // could not be read.
  std::shared_ptr<Database> Find(const std::string& service, std::string* problem) const;
  std::shared_ptr<Database> FindDefined(const std::string& service) const;
  // The count of sessions on the server behind `service`: one for all its attachments, even
  // though a database read from files is read afresh at each.
  std::shared_ptr<SessionCount> Sessions(const std::string& service);
  void Clear();

 private:
  mutable txscreen::Mutex mutex_;
  std::map<std::string, std::shared_ptr<Database>> databases_ GUARDED_BY(mutex_);
  std::map<std::string, std::shared_ptr<SessionCount>> sessions_ GUARDED_BY(mutex_);
};

std::string UpperCase(std::string text);

}  // namespace ocisim

#endif  // TXSCREEN_OCISIM_DATABASE_H_
