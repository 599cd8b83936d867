/* The subset of the OCI client interface that this project calls, declared from its published ABI.
 *
 * Nothing here comes from a vendor header. The types, constants and prototypes have the sizes,
 * values and calling convention of the real client library, so a binary built against this header
 * links against the real oci.dll (or libclntsh.so) unchanged, and equally against the project's
 * stand-in. Only what the project calls is declared; add a function here, with its published
 * prototype, before calling it anywhere.
 *
 * Every function returns an sword status: OCI_SUCCESS, OCI_SUCCESS_WITH_INFO, OCI_NO_DATA,
 * OCI_ERROR or OCI_INVALID_HANDLE. On OCI_ERROR the details are in the error handle that the call
 * was given, and OCIErrorGet reads them.
 */
#ifndef TXSCREEN_COMMON_OCI_API_H_
#define TXSCREEN_COMMON_OCI_API_H_

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define OCI_CALL __cdecl
#else
#define OCI_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t sword;
typedef uint32_t ub4;
typedef int32_t sb4;
typedef uint16_t ub2;
typedef int16_t sb2;
typedef uint8_t ub1;
typedef unsigned char OraText;

/* Opaque handles; only the client library knows what they hold. */
typedef struct OCIEnv OCIEnv;
typedef struct OCIError OCIError;
typedef struct OCISvcCtx OCISvcCtx;
typedef struct OCIStmt OCIStmt;
typedef struct OCIBind OCIBind;
typedef struct OCIServer OCIServer;
typedef struct OCISession OCISession;
typedef struct OCISnapshot OCISnapshot;

typedef struct OCITime {
  ub1 OCITimeHH;
  ub1 OCITimeMI;
  ub1 OCITimeSS;
} OCITime;

typedef struct OCIDate {
  sb2 OCIDateYYYY; /* year, -4712 to 9999, never 0 */
  ub1 OCIDateMM;   /* month, 1 to 12 */
  ub1 OCIDateDD;   /* day of the month, 1 to 31 */
  OCITime OCIDateTime;
} OCIDate;

#define OCI_SUCCESS 0
#define OCI_SUCCESS_WITH_INFO 1
#define OCI_NO_DATA 100
#define OCI_ERROR (-1)
#define OCI_INVALID_HANDLE (-2)

#define OCI_DEFAULT 0x00000000
#define OCI_THREADED 0x00000001

#define OCI_HTYPE_ENV 1
#define OCI_HTYPE_ERROR 2
#define OCI_HTYPE_SVCCTX 3
#define OCI_HTYPE_STMT 4
#define OCI_HTYPE_BIND 5
#define OCI_HTYPE_SERVER 8
#define OCI_HTYPE_SESSION 9

#define OCI_ATTR_SERVER 6
#define OCI_ATTR_SESSION 7
#define OCI_ATTR_USERNAME 22
#define OCI_ATTR_PASSWORD 23

#define OCI_CRED_RDBMS 1
#define OCI_NTV_SYNTAX 1

#define SQLT_INT 3
#define SQLT_FLT 4
#define SQLT_STR 5

sword OCI_CALL OCIEnvCreate(OCIEnv** envhpp, ub4 mode, const void* ctxp,
                            void* (*malocfp)(void* ctxp, size_t size),
                            void* (*ralocfp)(void* ctxp, void* memptr, size_t newsize),
                            void (*mfreefp)(void* ctxp, void* memptr), size_t xtramem_sz,
                            void** usrmempp);
sword OCI_CALL OCIHandleAlloc(const void* parenth, void** hndlpp, ub4 type, size_t xtramem_sz,
                              void** usrmempp);
sword OCI_CALL OCIHandleFree(void* hndlp, ub4 type);
sword OCI_CALL OCIServerAttach(OCIServer* srvhp, OCIError* errhp, const OraText* dblink,
                               sb4 dblink_len, ub4 mode);
sword OCI_CALL OCIServerDetach(OCIServer* srvhp, OCIError* errhp, ub4 mode);
sword OCI_CALL OCISessionBegin(OCISvcCtx* svchp, OCIError* errhp, OCISession* usrhp, ub4 credt,
                               ub4 mode);
sword OCI_CALL OCISessionEnd(OCISvcCtx* svchp, OCIError* errhp, OCISession* usrhp, ub4 mode);
sword OCI_CALL OCIPing(OCISvcCtx* svchp, OCIError* errhp, ub4 mode);
sword OCI_CALL OCIAttrSet(void* trgthndlp, ub4 trghndltyp, void* attributep, ub4 size, ub4 attrtype,
                          OCIError* errhp);
sword OCI_CALL OCIDateToText(OCIError* err, const OCIDate* date, const OraText* fmt, ub1 fmt_length,
                             const OraText* lang_name, ub4 lang_length, ub4* buf_size,
                             OraText* buf);
sword OCI_CALL OCIStmtPrepare(OCIStmt* stmtp, OCIError* errhp, const OraText* stmt, ub4 stmt_len,
                              ub4 language, ub4 mode);
sword OCI_CALL OCIBindByName(OCIStmt* stmtp, OCIBind** bindpp, OCIError* errhp,
                             const OraText* placeholder, sb4 placeh_len, void* valuep, sb4 value_sz,
                             ub2 dty, void* indp, ub2* alenp, ub2* rcodep, ub4 maxarr_len,
                             ub4* curelep, ub4 mode);
sword OCI_CALL OCIStmtExecute(OCISvcCtx* svchp, OCIStmt* stmtp, OCIError* errhp, ub4 iters,
                              ub4 rowoff, const OCISnapshot* snap_in, OCISnapshot* snap_out,
                              ub4 mode);
sword OCI_CALL OCIErrorGet(void* hndlp, ub4 recordno, OraText* sqlstate, sb4* errcodep,
                           OraText* bufp, ub4 bufsiz, ub4 type);

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(OCITime) == 3, "OCITime is three bytes");
static_assert(sizeof(OCIDate) == 8, "OCIDate is eight bytes, as the client library lays it out");
static_assert(alignof(OCIDate) == 2, "OCIDate aligns as its 16-bit year");
/* The client's integer types keep their widths on every platform, 64-bit Windows included (where
 * long stays 32 bits and would have done too); only handles, pointers and size_t grow to 8 bytes
 * there, as the 64-bit client's own prototypes have them. */
static_assert(sizeof(sword) == 4 && sizeof(ub4) == 4 && sizeof(sb4) == 4, "32-bit status, ub4, sb4");
static_assert(sizeof(ub2) == 2 && sizeof(sb2) == 2 && sizeof(ub1) == 1, "16- and 8-bit types");
static_assert(sizeof(OCIEnv*) == sizeof(void*) && sizeof(size_t) == sizeof(void*),
              "handles and the extra-memory sizes are pointer-wide");
#endif

#endif /* TXSCREEN_COMMON_OCI_API_H_ */
