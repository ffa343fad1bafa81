// The parts every service request shares: the configured roots joined with a path,
// the request header text, the XML request body, the check of values that go into a
// URL query unencoded, and the masking of secrets in texts bound for the log.
#pragma once

#include <string>
#include <string_view>

#include "common/log.h"
#include "common/recordtree.h"
#include "common/resultcodes.h"
#include "common/unknown.h"
#include "core/interfaces/itransport.h"

// The root configured in config.ini (section Ostrel: ServerRoot, PushNotifyRoot,
// ThumbnailRoot; a built-in address when missing) immediately followed by the path:
// nothing is inserted or removed between them, so a root that ends in "/" and a path
// that begins with one give "//".
std::string GetServerRootUrl(std::string_view path);
std::string GetPushNotifyRoot(std::string_view path);
std::string GetThumbnailRoot(std::string_view path);

// "v:<version>&User-Agent:ostrel", values percent-encoded (SetCommonHeaders).
std::string MakeRequestHeader(int version);

// The request body of a tree named "nuvra" whose pairs are the parameters, in order:
// the XML declaration immediately followed by the element. E_INVALIDARG (logged) when
// a value cannot travel as XML (not UTF-8, or control characters); *body is then
// untouched.
HRESULT MakeRequestBody(const RecordTree& request, std::string* body);

// True when a value may go into a URL query without encoding: no control characters
// (0x00-0x1F, 0x7F), no space, no '#' and no '&'.
bool IsRawQueryValueSafe(std::string_view value);

// The text with every secret replaced, for the log: the text of the XML elements
// password, token and fileKey, the values of the query keys of those names and of the
// JSON members of those names become "__password__", "__token__" and "__filekey__".
std::string MaskSecrets(std::string_view text);

// In a request slot whose record is named TaskData: a required field that is empty
// writes its assertion line; the request is sent all the same.
#define ASSERT_FIELD(field)                                                      \
  do {                                                                           \
    if (TaskData.field.empty())                                                  \
      OSTREL_LOG(kLogError, "%s", "*ASSERT*: !IsStrEmpty(TaskData." #field ")"); \
  } while (0)

// A new transport from CClsFactory with the progress callback installed when one is
// given, or the factory's failure code (logged with "Create CTransport Failed!").
HRESULT NewTransport(RefPtr<ITransport>* transport, TransportProgressCallback callback = nullptr,
                     void* context = nullptr);
