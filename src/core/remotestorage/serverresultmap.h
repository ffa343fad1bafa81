// The table from the service's result words to result codes. Every reply of the
// service carries one word (the root attribute "result" of an XML reply, the member
// "code" of a block-server JSON reply); every request passes it through this table and
// the engine decides on the code alone.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/resultcodes.h"

class ServerResultMap {
 public:
  // The process-wide table: built on first use (thread-safe), read-only afterwards.
  static const ServerResultMap& Instance();

  // The code of a word, compared exactly (case-sensitive, byte by byte):
  //   null word    -> E_FAIL, with the assertion line "*ASSERT*: false"
  //   known word   -> its code ("ok" and "Ok" give S_OK)
  //   other word   -> E_CV_SRV_UNKNOWN_WORD (0x80041010), the empty word included, with
  //                   two level-0 lines naming the word
  HRESULT operator[](const char* word) const;
  HRESULT operator[](std::string_view word) const;

  struct Row {
    std::string_view word;
    HRESULT code;
  };
  // The rows, sorted by word (ordinal).
  static const Row* Rows(size_t* count);

 private:
  ServerResultMap() = default;
};
