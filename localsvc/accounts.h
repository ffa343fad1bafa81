// The service's accounts and sign-in tokens. The table has no lock of its own: the item
// store owns one and calls it only under the store's lock.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace localsvc {

struct Account {
  std::string login;     // the user name given at sign-in (compared exactly)
  std::string password;
  std::string userId;    // one safe path component; assigned when empty
  std::string email;     // contains '@'; "<login>@localsvc.test" when empty and login has none
  std::string nickName;  // the part of the email before '@' when empty
  bool active = true;    // false: sign-in answers accountNotActive
  int64_t total = int64_t(10) << 30;  // quota in bytes
  // The account's operation version (moves on every change of its items) and share
  // version (moves on every change of what it shares or is shared with it).
  int64_t opVer = 0;
  int64_t shareVer = 0;
  std::string deviceId;  // the device of the last sign-in, "" before the first
};

class AccountTable {
 public:
  // Adds an account, filling the empty userId, email and nickName. Returns the stored
  // account, or nullptr with a reason (a value missing or malformed, or the login, user
  // id or email already taken). The pointer stays valid for the table's life.
  Account* Add(Account account, std::string* error);

  Account* ByLogin(const std::string& login);
  Account* ByUserId(const std::string& userId);
  // The account whose email (ignoring ASCII case), login or user id is name.
  Account* ByAnyName(const std::string& name);

  // A new random token for the user (32 lower-case hex digits).
  std::string IssueToken(const std::string& userId, bool expired);
  // Marks a known token expired or valid again; false for an unknown token.
  bool SetExpired(const std::string& token, bool expired);
  // The word for a request carrying token: ok (with *account set), clientNoLogin for an
  // empty or unknown token, clientTokenExpired for an expired one.
  const char* Check(const std::string& token, Account** account);

  // For keeping the table across restarts (the item store's state records).
  const std::map<std::string, Account>& All() const { return m_accounts; }
  // The user and expiry of a known token; false for an unknown one.
  bool TokenOf(const std::string& token, std::string* userId, bool* expired) const;
  void ForEachToken(const std::function<void(const std::string& token, const std::string& userId, bool expired)>& fn) const;
  // Puts back a token as it was; false when its user is unknown.
  bool RestoreToken(const std::string& token, const std::string& userId, bool expired);
  // The number the next assigned user id starts from.
  int NextUserId() const { return m_nextUserId; }
  void SetNextUserId(int next) { m_nextUserId = next; }
  void Clear();

 private:
  struct Token {
    std::string userId;
    bool expired = false;
  };
  std::map<std::string, Account> m_accounts;  // by user id
  std::map<std::string, Token> m_tokens;
  int m_nextUserId = 1001;
};

// True when name can be a user id: [A-Za-z0-9._@-], not "." or "..", at most 128 bytes.
bool SafeUserId(const std::string& name);

}  // namespace localsvc
