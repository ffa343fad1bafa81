// Check lines whose text is fixed by the system but whose condition reads differently
// here (a C string argument is a std::string, a path object is a text). Like the
// checks of common/checks.h they never stop the program.
#pragma once

#include "common/checks.h"

// "*ASSERT*: <text>" at level 0 when cond is false; goes on.
#define ASSERT_TEXT(cond, text)                                  \
  do {                                                           \
    if (!(cond)) OSTREL_LOG(kLogError, "%s", "*ASSERT*: " text); \
  } while (0)

// "ERROR_CHECK_BOOLEX:<text>" at level 5 and E_FAIL returned when cond is false.
#define ERROR_CHECK_BOOLEX_TEXT(cond, text)                          \
  do {                                                               \
    if (!(cond)) {                                                   \
      OSTREL_LOG(kLogWarn, "%s", "ERROR_CHECK_BOOLEX:" text);        \
      return E_FAIL;                                                 \
    }                                                                \
  } while (0)
