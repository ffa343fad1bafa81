#include "core/userfolder.h"

#include "common/checks.h"
#include "common/filehelper.h"
#include "common/strhelper.h"

bool IsSafeUserId(std::string_view userId) {
  if (userId.empty() || userId.size() > kUserIdMaxBytes || userId == "." || userId == "..") return false;
  for (char c : userId) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '_' || c == '@' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::string UserFolderPath(const std::string& configRoot, const std::string& userId) {
  return JoinPath(configRoot, userId);
}

bool DeleteUserFolder(const std::string& configRoot, const std::string& userId, FileEnv* env) {
  ERROR_CHECK_BOOL_FLAG(!configRoot.empty() && IsSafeUserId(userId));
  const bool bRet = DeleteFolderTree(UserFolderPath(configRoot, userId), false, true, env);
  CHECK_BOOL_MSG(bRet, "%s", "the user's folder is not wholly deleted");
  return bRet;
}
