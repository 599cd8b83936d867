// Statements: prepare, bind by name, and execution of the scoring block against a database.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "database.h"
#include "handles.h"
#include "oci_api.h"
#include "plsql.h"
#include "state.h"

using ocisim::Bind;
using ocisim::Call;
using ocisim::Database;
using ocisim::ErrorRecord;
using ocisim::Registry;
using ocisim::ServiceContext;
using ocisim::Session;
using ocisim::Statement;

namespace {

constexpr char kProcedure[] = "SCORING.ISOVERAVERAGE";
constexpr char kNotPrepared[] = "ORA-24337: statement handle not prepared";

// Whether a value of `size` bytes can carry the external type; empty when it can.
std::string SizeProblem(ub2 type, sb4 size) {
  switch (type) {
    case SQLT_INT:
      if (size == 1 || size == 2 || size == 4 || size == 8) return "";
      return "SQLT_INT value size " + std::to_string(size) + " is not 1, 2, 4 or 8";
    case SQLT_FLT:
      if (size == 4 || size == 8) return "";
      return "SQLT_FLT value size " + std::to_string(size) + " is not 4 or 8";
    case SQLT_STR:
      if (size >= 1) return "";
      return "SQLT_STR value size " + std::to_string(size) + " leaves no room for the terminator";
    default:
      return "external type " + std::to_string(type) + " is not supported";
  }
}

Bind* FindBind(Statement* statement, const std::string& name) {
  txscreen::MutexLock lock(&statement->children_mutex);
  for (ocisim::Handle* child : statement->children) {
    auto* bind = static_cast<Bind*>(child);
    if (bind->name == name) return bind;
  }
  return nullptr;
}

// Runs the block's one procedure call; the Call records what went wrong.
class BlockRun {
 public:
  BlockRun(Call& call, ErrorRecord* errors, Statement* statement, Database& database)
      : call_(call), errors_(errors), statement_(statement), database_(database) {}

  sword Run(const ocisim::ProcedureCall& procedure) {
    if (procedure.name != kProcedure || database_.body == ocisim::ProcedureBody::kMissing) {
      std::string where = "ORA-06550: line " + std::to_string(procedure.line) + ", column " +
                          std::to_string(procedure.column) + ":\n";
      return call_.Fail(errors_, where + "PLS-00201: identifier '" + procedure.name +
                                     "' must be declared\n" + where + "PL/SQL: Statement ignored");
    }
    if (procedure.args.size() != 3) {
      return call_.Fail(errors_,
                        "ORA-06550: line 1, column 7:\nPLS-00306: wrong number or types "
                        "of arguments in call to 'ISOVERAVERAGE'");
    }
    Bind* account = FindBind(statement_, procedure.args[0]);
    Bind* amount = FindBind(statement_, procedure.args[1]);
    Bind* risk = FindBind(statement_, procedure.args[2]);
    std::optional<std::string> account_id = ReadText(account);
    std::optional<double> amount_value = ReadNumber(amount);
    if (!account_id || !amount_value) return OCI_ERROR;
    if (database_.body == ocisim::ProcedureBody::kRaise) {
      return call_.Fail(errors_, database_.raise_text);
    }
    std::string raised = database_.RaisedBy(*account_id);
    if (!raised.empty()) return call_.Fail(errors_, raised);
    sb4 result = database_.body == ocisim::ProcedureBody::kFixedRisk
                     ? database_.fixed_risk
                     : database_.IsOverAverage(*account_id, *amount_value);
    return WriteNumber(risk, result);
  }

 private:
  std::optional<std::string> ReadText(const Bind* bind) {
    if (bind->value == nullptr) return std::string();  // a null value: no account, no history
    if (bind->type != SQLT_STR) return Mismatch();
    const char* chars = static_cast<const char*>(bind->value);
    size_t length = strnlen(chars, static_cast<size_t>(bind->size));
    if (length == static_cast<size_t>(bind->size)) {
      call_.RecordViolation(":" + bind->name + " holds no terminator within its " +
                            std::to_string(bind->size) + " bytes");
      call_.Fail(errors_, "ORA-01480: trailing null missing from STR bind value");
      return std::nullopt;
    }
    return std::string(chars, length);
  }

  std::optional<double> ReadNumber(const Bind* bind) {
    if (bind->value == nullptr) return 0.0;
    const void* value = bind->value;
    if (bind->type == SQLT_FLT) {
      if (bind->size == 4) return *static_cast<const float*>(value);
      return *static_cast<const double*>(value);
    }
    if (bind->type == SQLT_INT) {
      switch (bind->size) {
        case 1:
          return *static_cast<const int8_t*>(value);
        case 2:
          return *static_cast<const int16_t*>(value);
        case 4:
          return *static_cast<const int32_t*>(value);
        default:
          return static_cast<double>(*static_cast<const int64_t*>(value));
      }
    }
    return Mismatch();
  }

  sword WriteNumber(const Bind* bind, sb4 number) {
    void* value = bind->value;
    if (value == nullptr) return call_.Return(OCI_SUCCESS);
    if (bind->type == SQLT_INT) {
      switch (bind->size) {
        case 1:
          *static_cast<int8_t*>(value) = static_cast<int8_t>(number);
          break;
        case 2:
          *static_cast<int16_t*>(value) = static_cast<int16_t>(number);
          break;
        case 4:
          *static_cast<int32_t*>(value) = number;
          break;
        default:
          *static_cast<int64_t*>(value) = number;
          break;
      }
    } else if (bind->type == SQLT_FLT) {
      if (bind->size == 4) {
        *static_cast<float*>(value) = static_cast<float>(number);
      } else {
        *static_cast<double*>(value) = number;
      }
    } else {
      std::string text = std::to_string(number);
      if (text.size() + 1 > static_cast<size_t>(bind->size)) {
        return call_.Fail(errors_,
                          "ORA-06502: PL/SQL: numeric or value error: character string "
                          "buffer too small");
      }
      std::memcpy(value, text.c_str(), text.size() + 1);
    }
    return call_.Return(OCI_SUCCESS);
  }

  std::nullopt_t Mismatch() {
    call_.Fail(errors_, "ORA-06502: PL/SQL: numeric or value error");
    return std::nullopt;
  }

  Call& call_;
  ErrorRecord* errors_;
  Statement* statement_;
  Database& database_;
};

}  // namespace

extern "C" {

sword OCIStmtPrepare(OCIStmt* stmtp, OCIError* errhp, const OraText* stmt, ub4 stmt_len,
                     ub4 language, ub4 mode) {
  Call call("OCIStmtPrepare");
  call.Arg("stmtp", stmtp).Arg("errhp", errhp).Text("stmt", stmt, static_cast<sb4>(stmt_len));
  call.Arg("stmt_len", stmt_len).Arg("language", language).Arg("mode", mode);
  auto* statement = call.Find<Statement>("stmtp", stmtp, OCI_HTYPE_STMT);
  ErrorRecord* errors = call.Errors(errhp);
  if (statement == nullptr || errors == nullptr) return call.Return(OCI_INVALID_HANDLE);
  if (auto status = call.Injected(errors)) return *status;
  if (stmt == nullptr || stmt_len == 0) {
    return call.Fail(errors, "ORA-24373: invalid length specified for statement");
  }
  // Preparing again starts afresh: earlier binds belong to the earlier text.
  call.state().handles.DestroyChildren(statement);
  statement->text.assign(reinterpret_cast<const char*>(stmt), stmt_len);
  statement->parsed = call.state().statements.Parse(statement->text);
  statement->prepared = true;
  return call.Return(OCI_SUCCESS);
}

sword OCIBindByName(OCIStmt* stmtp, OCIBind** bindpp, OCIError* errhp, const OraText* placeholder,
                    sb4 placeh_len, void* valuep, sb4 value_sz, ub2 dty, void* indp, ub2* alenp,
                    ub2* rcodep, ub4 maxarr_len, ub4* curelep, ub4 mode) {
  Call call("OCIBindByName");
  call.Arg("stmtp", stmtp).Arg("bindpp", bindpp).Arg("errhp", errhp);
  if (bindpp != nullptr && call.logging()) call.Note("bind_in", ocisim::PointerText(*bindpp));
  call.Text("placeholder", placeholder, placeh_len).Arg("placeh_len", placeh_len);
  call.Arg("valuep", valuep).Arg("value_sz", value_sz).Arg("dty", dty).Arg("indp", indp);
  call.Arg("alenp", alenp).Arg("rcodep", rcodep).Arg("maxarr_len", maxarr_len);
  call.Arg("curelep", curelep).Arg("mode", mode);
  auto* statement = call.Find<Statement>("stmtp", stmtp, OCI_HTYPE_STMT);
  ErrorRecord* errors = call.Errors(errhp);
  if (statement == nullptr || errors == nullptr) return call.Return(OCI_INVALID_HANDLE);
  if (bindpp == nullptr) return call.Violation(OCI_INVALID_HANDLE, "bindpp is null");
  Bind* bind = nullptr;
  if (*bindpp != nullptr) {
    // A handle given in is bound again; it must be one of this statement's.
    bind = call.Find<Bind>("*bindpp", *bindpp, OCI_HTYPE_BIND);
    if (bind == nullptr || bind->parent != statement) return call.Return(OCI_INVALID_HANDLE);
  }
  if (auto status = call.Injected(errors)) return *status;
  if (!statement->prepared) {
    call.RecordViolation("bind on a statement that was never prepared");
    return call.Fail(errors, kNotPrepared);
  }
  std::string name;
  if (placeholder != nullptr) {
    const char* chars = reinterpret_cast<const char*>(placeholder);
    name = placeh_len < 0 ? std::string(chars) : std::string(chars, placeh_len);
  }
  if (!name.empty() && name[0] == ':') name.erase(0, 1);
  name = ocisim::UpperCase(name);
  const auto& placeholders = statement->parsed->placeholders;
  if (std::find(placeholders.begin(), placeholders.end(), name) == placeholders.end()) {
    return call.Fail(errors, "ORA-01036: illegal variable name/number");
  }
  std::string problem = SizeProblem(dty, value_sz);
  if (!problem.empty()) {
    call.RecordViolation(":" + name + ": " + problem);
    return call.Fail(errors, "ORA-03115: unsupported network datatype or representation");
  }
  if (maxarr_len != 0) {
    call.RecordViolation(":" + name + ": array binds are not supported");
    return call.Fail(errors, "ORA-03115: unsupported network datatype or representation");
  }
  if (bind == nullptr) bind = FindBind(statement, name);
  if (bind == nullptr) bind = call.state().handles.Create<Bind>(statement);
  bind->name = name;
  bind->value = valuep;
  bind->size = value_sz;
  bind->type = dty;
  *bindpp = reinterpret_cast<OCIBind*>(bind);
  return call.Return(OCI_SUCCESS);
}

sword OCIStmtExecute(OCISvcCtx* svchp, OCIStmt* stmtp, OCIError* errhp, ub4 iters, ub4 rowoff,
                     const OCISnapshot* snap_in, OCISnapshot* snap_out, ub4 mode) {
  Call call("OCIStmtExecute");
  call.Arg("svchp", svchp).Arg("stmtp", stmtp).Arg("errhp", errhp).Arg("iters", iters);
  call.Arg("rowoff", rowoff).Arg("snap_in", snap_in).Arg("snap_out", snap_out).Arg("mode", mode);
  auto* context = call.Find<ServiceContext>("svchp", svchp, OCI_HTYPE_SVCCTX);
  auto* statement = call.Find<Statement>("stmtp", stmtp, OCI_HTYPE_STMT);
  ErrorRecord* errors = call.Errors(errhp);
  if (context == nullptr || statement == nullptr || errors == nullptr) {
    return call.Return(OCI_INVALID_HANDLE);
  }
  if (auto status = call.Injected(errors)) return *status;
  if (!statement->prepared) {
    call.RecordViolation("execute of a statement that was never prepared");
    return call.Fail(errors, kNotPrepared);
  }
  txscreen::MutexLock serial(&context->calls);
  Registry& handles = call.state().handles;
  auto* server = handles.Resolve<ocisim::Server>(context->server, OCI_HTYPE_SERVER);
  auto* session = handles.Resolve<Session>(context->session, OCI_HTYPE_SESSION);
  if (server == nullptr || !server->database || session == nullptr || !session->begun) {
    call.RecordViolation("the service context has no session");
    return call.Fail(errors, ocisim::kNotConnected);
  }
  session->database->RoundTrip();
  if (session->lost) return call.Fail(errors, ocisim::kNotConnected);
  uint64_t lost_after = session->database->faults.session_lost_after;
  if (lost_after != 0 && session->executions == lost_after) {
    // The connection breaks under this call; every later call on the session finds it gone.
    session->lost = true;
    return call.Fail(errors, "ORA-03113: end-of-file on communication channel");
  }
  ++session->executions;
  if (iters == 0) return call.Fail(errors, "ORA-24333: zero iteration count");
  const ocisim::ParsedStatement& parsed = *statement->parsed;
  for (const std::string& name : parsed.placeholders) {
    if (FindBind(statement, name) == nullptr) {
      call.RecordViolation("execute with :" + name + " unbound");
      return call.Fail(errors, "ORA-01008: not all variables bound");
    }
  }
  // An executed statement holds an open cursor in its session until it is freed.
  Database& database = *session->database;
  {
    txscreen::MutexLock lock(&session->cursors_mutex);
    if (session->open_cursors.count(statement->serial) == 0) {
      if (session->open_cursors.size() >= database.open_cursor_limit) {
        return call.Fail(errors, "ORA-01000: maximum open cursors exceeded");
      }
      session->open_cursors.insert(statement->serial);
      statement->cursor_session = Registry::RefTo(session);
    }
  }
  if (!parsed.is_call) return call.Fail(errors, parsed.error);
  sword status = OCI_SUCCESS;
  BlockRun run(call, errors, statement, database);
  for (ub4 i = 0; i < iters && status != OCI_ERROR; ++i) status = run.Run(parsed.call);
  return status;
}

}  // extern "C"
