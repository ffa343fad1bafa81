// The result words the service answers with (the root attribute "result" of every XML
// reply). The words are the service's own, case-sensitive.
#pragma once

namespace localsvc::words {

inline constexpr char kOk[] = "ok";
inline constexpr char kClientBadParams[] = "clientBadParams";
inline constexpr char kClientNoMethod[] = "clientNoMethod";
inline constexpr char kAccountNotActive[] = "accountNotActive";
inline constexpr char kPermissionDenied[] = "permissionDenied";
inline constexpr char kServerDenyReadOnly[] = "serverDenyReadOnly";
inline constexpr char kClientTokenExpired[] = "clientTokenExpired";
inline constexpr char kMethodVersionNotMatch[] = "methodVersionNotMatch";
inline constexpr char kAccountNotMatch[] = "accountNotMatch";
inline constexpr char kClientNoLogin[] = "clientNoLogin";
inline constexpr char kTargetExist[] = "targetExist";
inline constexpr char kTargetNotExist[] = "targetNotExist";
inline constexpr char kParentNotExist[] = "parentNotExist";
inline constexpr char kFileVerConflict[] = "fileVerConflict";
inline constexpr char kOverSpace[] = "overSpace";
inline constexpr char kBadStub[] = "badStub";
inline constexpr char kUploadError[] = "uploadError";
inline constexpr char kEmptyFile[] = "emptyFile";
inline constexpr char kFileMissInAgent[] = "fileMissInAgent";

}  // namespace localsvc::words
