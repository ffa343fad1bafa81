// The check conventions. None of them stops the program or throws: a failed check
// writes its line (with the caller's source file and line) and, for the ERROR_ forms,
// leaves the function with the failure.
//
//   ASSERT(e)                    "*ASSERT*: e"                          level 0, goes on
//   ERROR_CHECK_BOOL(e)          "ERROR_CHECK_BOOL:e"                   level 5, returns E_FAIL
//   ERROR_CHECK_BOOL_FLAG(e)     "ERROR_CHECK_BOOL:e"                   level 5, returns false
//   ERROR_CHECK_BOOLEX(e)        "ERROR_CHECK_BOOLEX:e"                 level 5, returns E_FAIL
//   ERROR_CHECK_BOOLEX_MSG(e, fmt, ...)  "ERROR_CHECK_BOOLEX:eMSG: <msg>" level 5, returns E_FAIL
//   ERROR_CHECK_COM(hr)          "ERROR_CHECK_COM hr = %x: hr"          level 5, returns hr
//   ERROR_CHECK_COM_MSG(hr, fmt, ...)   "ERROR_CHECK_COM: hr = %x MSG: <msg>" level 0, returns hr
//   ERROR_CHECK_SUCCESS_MSG(hr, fmt, ...) "ERROR_CHECK_BOOL:hr == S_OK--MSG:<msg>" level 0,
//                                returns hr unless it is S_OK
//   CHECK_COM(hr)                "CHECK_COM hr = %x: hr"                level 9, goes on
//   CHECK_BOOL_MSG(e, fmt, ...)  "CHECK_BOOL:eMSG: <msg>"               level 5, goes on
//
// In the texts "e" and "hr" stand for the source text of the checked expression. A
// result expression is evaluated once. Messages are printf formats (literals only).
#pragma once

#include <string>

#include "common/log.h"
#include "common/resultcodes.h"
#include "common/strformat.h"

#define ASSERT(e)                                                        \
  do {                                                                   \
    if (!(e)) OSTREL_LOG(kLogError, "%s", "*ASSERT*: " #e);              \
  } while (0)

#define ERROR_CHECK_BOOL(e)                                              \
  do {                                                                   \
    if (!(e)) {                                                          \
      OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOL:" #e);                \
      return E_FAIL;                                                     \
    }                                                                    \
  } while (0)

#define ERROR_CHECK_BOOL_FLAG(e)                                         \
  do {                                                                   \
    if (!(e)) {                                                          \
      OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOL:" #e);                \
      return false;                                                      \
    }                                                                    \
  } while (0)

#define ERROR_CHECK_BOOLEX(e)                                            \
  do {                                                                   \
    if (!(e)) {                                                          \
      OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:" #e);              \
      return E_FAIL;                                                     \
    }                                                                    \
  } while (0)

#define ERROR_CHECK_BOOLEX_MSG(e, ...)                                   \
  do {                                                                   \
    if (!(e)) {                                                          \
      if (LogIsEnabled(kLogWarn))                                        \
        LogWriteFormat(kLogWarn, __FILE__, __LINE__, "%s%s", "ERROR_CHECK_BOOLEX:" #e "MSG: ", \
                       StringFormat(__VA_ARGS__).c_str());     \
      return E_FAIL;                                                     \
    }                                                                    \
  } while (0)

#define ERROR_CHECK_COM(hrExpr)                                          \
  do {                                                                   \
    HRESULT check_hr_ = (hrExpr);                                        \
    if (FAILED(check_hr_)) {                                             \
      OSTREL_LOG(kLogWarn, "ERROR_CHECK_COM hr = %x: %s", static_cast<unsigned>(check_hr_), #hrExpr); \
      return check_hr_;                                                  \
    }                                                                    \
  } while (0)

#define ERROR_CHECK_COM_MSG(hrExpr, ...)                                 \
  do {                                                                   \
    HRESULT check_hr_ = (hrExpr);                                        \
    if (FAILED(check_hr_)) {                                             \
      if (LogIsEnabled(kLogError))                                       \
        LogWriteFormat(kLogError, __FILE__, __LINE__, "ERROR_CHECK_COM: hr = %x MSG: %s", \
                       static_cast<unsigned>(check_hr_), StringFormat(__VA_ARGS__).c_str()); \
      return check_hr_;                                                  \
    }                                                                    \
  } while (0)

#define ERROR_CHECK_SUCCESS_MSG(hrExpr, ...)                             \
  do {                                                                   \
    HRESULT check_hr_ = (hrExpr);                                        \
    if (check_hr_ != S_OK) {                                             \
      if (LogIsEnabled(kLogError))                                       \
        LogWriteFormat(kLogError, __FILE__, __LINE__, "ERROR_CHECK_BOOL:hr == S_OK--MSG:%s", \
                       StringFormat(__VA_ARGS__).c_str());     \
      return check_hr_;                                                  \
    }                                                                    \
  } while (0)

#define CHECK_COM(hrExpr)                                                \
  do {                                                                   \
    HRESULT check_hr_ = (hrExpr);                                        \
    if (FAILED(check_hr_))                                               \
      OSTREL_LOG(kLogTrace, "CHECK_COM hr = %x: %s", static_cast<unsigned>(check_hr_), #hrExpr); \
  } while (0)

#define CHECK_BOOL_MSG(e, ...)                                           \
  do {                                                                   \
    if (!(e) && LogIsEnabled(kLogWarn))                                  \
      LogWriteFormat(kLogWarn, __FILE__, __LINE__, "%s%s", "CHECK_BOOL:" #e "MSG: ", \
                     StringFormat(__VA_ARGS__).c_str());       \
  } while (0)
