// Result codes of the whole engine. A result is a 32-bit signed value: 0 is success,
// a negative value a failure. Operations start from E_FAIL and replace it.
#pragma once

#include <cstdint>

using HRESULT = int32_t;

constexpr HRESULT MakeResult(uint32_t bits) { return static_cast<HRESULT>(bits); }

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

// General codes.
inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = MakeResult(0x80004001);
inline constexpr HRESULT E_NOINTERFACE = MakeResult(0x80004002);
inline constexpr HRESULT E_POINTER = MakeResult(0x80004003);
inline constexpr HRESULT E_ABORT = MakeResult(0x80004004);
inline constexpr HRESULT E_FAIL = MakeResult(0x80004005);
inline constexpr HRESULT E_UNEXPECTED = MakeResult(0x8000FFFF);
inline constexpr HRESULT E_OUTOFMEMORY = MakeResult(0x8007000E);
inline constexpr HRESULT E_INVALIDARG = MakeResult(0x80070057);

// The service's result words (see ServerResultMap). Names in the E_CV_SRV_ family are
// ours; the others are the program's own names.
inline constexpr HRESULT E_CV_SRV_CLIENT_BAD_PARAMS = MakeResult(0x80041001);
inline constexpr HRESULT E_CV_SRV_SERVER_DENY = MakeResult(0x80041002);
inline constexpr HRESULT E_CV_SRV_SERVER_BUSY = MakeResult(0x80041003);
inline constexpr HRESULT E_CV_SRV_CLIENT_TOO_FREQUENT = MakeResult(0x80041004);
inline constexpr HRESULT E_CV_SRV_CLIENT_NO_METHOD = MakeResult(0x80041005);
inline constexpr HRESULT E_CV_SRV_ACCOUNT_SERVER_ERROR = MakeResult(0x80041006);
inline constexpr HRESULT E_CV_SRV_ACCOUNT_NOT_ACTIVE = MakeResult(0x80041007);
inline constexpr HRESULT E_CV_SRV_DATA_OPERATION_FAILED = MakeResult(0x80041008);
inline constexpr HRESULT E_CV_SRV_PERMISSION_DENIED = MakeResult(0x80041009);
inline constexpr HRESULT E_CV_SRV_SERVER_DENY_READ_ONLY = MakeResult(0x8004100A);
inline constexpr HRESULT E_CV_SRV_FAILURE_TO_APPLY_STUB = MakeResult(0x8004100B);
inline constexpr HRESULT E_CV_SRV_BAD_STUB = MakeResult(0x8004100C);
inline constexpr HRESULT E_CV_SRV_GET_FILE_KEY_FAILED = MakeResult(0x8004100D);
inline constexpr HRESULT E_CV_SRV_STORAGE_ERROR = MakeResult(0x8004100E);
inline constexpr HRESULT E_CV_SRV_GET_FILE_INFO_FAILED = MakeResult(0x8004100F);
inline constexpr HRESULT E_CV_SRV_UNKNOWN_WORD = MakeResult(0x80041010);  // a word not in the table
inline constexpr HRESULT E_CV_SRV_SERVER_ERROR = MakeResult(0x80041011);  // also: HTTP status not success
inline constexpr HRESULT E_CV_SRV_CLIENT_TOKEN_EXPIRED = MakeResult(0x80041012);
inline constexpr HRESULT E_CV_SRV_METHOD_VERSION_NOT_MATCH = MakeResult(0x80041013);
inline constexpr HRESULT E_CV_CURL_CANCEL = MakeResult(0x80041014);  // a cancelled transfer
inline constexpr HRESULT E_CV_SRV_ACCOUNT_NOT_MATCH = MakeResult(0x80041015);
inline constexpr HRESULT E_CV_SRV_CLIENT_NO_LOGIN = MakeResult(0x80041016);
inline constexpr HRESULT E_CV_SRV_ERROR_DENY = MakeResult(0x80041017);
inline constexpr HRESULT E_CV_TARGET_EXISTS = MakeResult(0x80041018);
inline constexpr HRESULT E_CV_TARGET_NOT_EXISTS = MakeResult(0x80041019);
inline constexpr HRESULT E_CV_SRV_OVER_SPACE = MakeResult(0x8004101A);
inline constexpr HRESULT E_CV_FILE_VER_CONFLICT = MakeResult(0x8004101B);
inline constexpr HRESULT E_CV_SRV_FORBIDDEN = MakeResult(0x8004101C);
inline constexpr HRESULT E_CV_PARENT_NOT_EXIST = MakeResult(0x8004101D);
inline constexpr HRESULT E_CV_TASK_FAILED = MakeResult(0x8004101F);  // a failed file task
inline constexpr HRESULT E_CV_SRV_EMPTY_FILE = MakeResult(0x80041020);
inline constexpr HRESULT E_CV_FOLDER_NON_EMPTY = MakeResult(0x80041021);
inline constexpr HRESULT E_CV_SRV_UPLOAD_ERROR = MakeResult(0x80041022);
inline constexpr HRESULT E_CV_SRV_FILE_MISS_IN_AGENT = MakeResult(0x80041023);
inline constexpr HRESULT E_CV_SRV_TIMEOUT = MakeResult(0x80041024);
inline constexpr HRESULT E_CV_SRV_WSS_ERROR = MakeResult(0x80041025);

// Transport failures; a synchronous task is tried again only on these four.
inline constexpr HRESULT E_CV_NETWORK_ERROR = MakeResult(0x80044001);   // timed out, or HTTP 504
inline constexpr HRESULT E_CV_NETWORK_ERROR2 = MakeResult(0x80044002);  // not resolved, no connection
inline constexpr HRESULT E_CV_NETWORK_ERROR3 = MakeResult(0x80044003);  // any other transfer failure
inline constexpr HRESULT E_CV_SHA1_MISMATCH = MakeResult(0x80044004);   // downloaded file differs

constexpr bool IsNetworkResult(HRESULT hr) {
  return hr == E_CV_NETWORK_ERROR || hr == E_CV_NETWORK_ERROR2 || hr == E_CV_NETWORK_ERROR3 ||
         hr == E_CV_SHA1_MISMATCH;
}

// Local file failures.
inline constexpr HRESULT E_CV_LOCAL_NOT_EXIST = MakeResult(0x80046001);
inline constexpr HRESULT E_CV_LOCAL_LOCKED = MakeResult(0x80046002);
inline constexpr HRESULT E_CV_LOCAL_EXISTS = MakeResult(0x80046003);
// A link, or anything but a folder, lies where a download makes or enters a folder.
inline constexpr HRESULT E_CV_LOCAL_NOT_FOLDER = MakeResult(0x80046004);
// The cache copy is claimed by another process of the user that has it open for
// editing or is sending its edit.
inline constexpr HRESULT E_CV_LOCAL_IN_EDIT = MakeResult(0x80046005);

// Data-base failures.
inline constexpr HRESULT E_CV_DB_FULL = MakeResult(0x80048003);
inline constexpr HRESULT E_CV_DB_ERROR = MakeResult(0x80048004);
