// TESTCONN: asks the database whether an amount is over the account's average.
#include <cstring>

#include "rule.h"
#include "txscreen.h"

namespace {

using txscreen::AllocHandle;
using txscreen::Failed;
using txscreen::ShowAlert;

constexpr char kStatement[] = "begin scoring.isOverAverage(:aid, :amt, :risk); end;";

const OraText* Text(const char* text) { return reinterpret_cast<const OraText*>(text); }

sword Bind(OCIStmt* stmt, OCIBind** bind, OCIError* err, const char* placeholder, void* value,
           sb4 size, ub2 type) {
  return OCIBindByName(stmt, bind, err, Text(placeholder), -1, value, size, type, nullptr, nullptr,
                       nullptr, 0, nullptr, OCI_DEFAULT);
}

}  // namespace

extern "C" RuleResult TESTCONN(OCIEnv* env, OCIError* err, OCISvcCtx* svc, float amount,
                               const char* account) {
  if (account == nullptr) return 0;
  sb4 risk = 0;
  OCIStmt* stmt = nullptr;
  if (Failed(AllocHandle(env, &stmt, OCI_HTYPE_STMT))) {
    // No statement: every later step would work on a handle that does not exist.
    ShowAlert("error");
    return 0;
  }
  if (stmt == nullptr) return 0;

  // Every step runs whatever the earlier ones gave: a failure is shown, and the sequence goes on.
  if (Failed(OCIStmtPrepare(stmt, err, Text(kStatement), sizeof kStatement - 1, OCI_NTV_SYNTAX,
                            OCI_DEFAULT))) {
    ShowAlert("prepare error");
  }
  OCIBind* account_bind = nullptr;
  OCIBind* amount_bind = nullptr;
  OCIBind* risk_bind = nullptr;
  // The account text is only read; the size includes its terminator.
  if (Failed(Bind(stmt, &account_bind, err, ":aid", const_cast<char*>(account),
                  static_cast<sb4>(std::strlen(account) + 1), SQLT_STR))) {
    ShowAlert("bind1 error");
  }
  if (Failed(Bind(stmt, &amount_bind, err, ":amt", &amount, sizeof amount, SQLT_FLT))) {
    ShowAlert("bind2 error");
  }
  if (Failed(Bind(stmt, &risk_bind, err, ":risk", &risk, sizeof risk, SQLT_INT))) {
    ShowAlert("bind3 error");
  }
  if (Failed(OCIStmtExecute(svc, stmt, err, 1, 0, nullptr, nullptr, OCI_DEFAULT))) {
    txscreen::ReportOciError(err);
  }
  // Freeing the statement frees its binds and closes its cursor on the host's session; kept, it
  // would pile up under the host's environment until the server's cursor limit stops the host.
  OCIHandleFree(stmt, OCI_HTYPE_STMT);
  return risk == 1 ? 1 : 0;
}
