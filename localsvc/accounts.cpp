#include "accounts.h"

#include <algorithm>

#include "ascii.h"
#include "filecodec.h"
#include "words.h"

namespace localsvc {

bool SafeUserId(const std::string& name) {
  if (name.empty() || name.size() > 128 || name == "." || name == "..") return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '@' || c == '-';
  });
}

Account* AccountTable::Add(Account a, std::string* error) {
  if (a.login.empty() || a.password.empty()) {
    *error = "an account needs a user name and a password";
    return nullptr;
  }
  while (a.userId.empty()) {
    std::string id = std::to_string(m_nextUserId++);
    if (!m_accounts.count(id)) a.userId = id;
  }
  if (a.email.empty()) a.email = a.login.find('@') != std::string::npos ? a.login : a.login + "@localsvc.test";
  if (a.nickName.empty()) a.nickName = a.email.substr(0, a.email.find('@'));
  if (!SafeUserId(a.userId) || a.email.find('@') == std::string::npos || a.total < 0 || a.opVer < 0 ||
      a.shareVer < 0) {
    *error = "malformed user id, email, quota or version";
    return nullptr;
  }
  for (const auto& [id, other] : m_accounts) {
    if (id == a.userId || other.login == a.login || EqualsIgnoringAsciiCase(other.email, a.email)) {
      *error = "the user name, user id or email is taken";
      return nullptr;
    }
  }
  std::string id = a.userId;
  return &m_accounts.emplace(id, std::move(a)).first->second;
}

Account* AccountTable::ByLogin(const std::string& login) {
  for (auto& [id, a] : m_accounts)
    if (a.login == login) return &a;
  return nullptr;
}

Account* AccountTable::ByUserId(const std::string& userId) {
  auto it = m_accounts.find(userId);
  return it == m_accounts.end() ? nullptr : &it->second;
}

Account* AccountTable::ByAnyName(const std::string& name) {
  if (Account* a = ByUserId(name)) return a;
  for (auto& [id, a] : m_accounts)
    if (EqualsIgnoringAsciiCase(a.email, name) || a.login == name) return &a;
  return nullptr;
}

std::string AccountTable::IssueToken(const std::string& userId, bool expired) {
  std::string token = RandomHex(16);
  m_tokens[token] = Token{userId, expired};
  return token;
}

bool AccountTable::SetExpired(const std::string& token, bool expired) {
  auto it = m_tokens.find(token);
  if (it == m_tokens.end()) return false;
  it->second.expired = expired;
  return true;
}

bool AccountTable::TokenOf(const std::string& token, std::string* userId, bool* expired) const {
  auto it = m_tokens.find(token);
  if (it == m_tokens.end()) return false;
  *userId = it->second.userId;
  *expired = it->second.expired;
  return true;
}

void AccountTable::ForEachToken(
    const std::function<void(const std::string& token, const std::string& userId, bool expired)>& fn) const {
  for (const auto& [token, t] : m_tokens) fn(token, t.userId, t.expired);
}

bool AccountTable::RestoreToken(const std::string& token, const std::string& userId, bool expired) {
  if (!m_accounts.count(userId)) return false;
  m_tokens[token] = Token{userId, expired};
  return true;
}

void AccountTable::Clear() {
  m_accounts.clear();
  m_tokens.clear();
  m_nextUserId = 1001;
}

const char* AccountTable::Check(const std::string& token, Account** account) {
  auto it = m_tokens.find(token);
  if (it == m_tokens.end()) return words::kClientNoLogin;
  if (it->second.expired) return words::kClientTokenExpired;
  *account = ByUserId(it->second.userId);
  return *account ? words::kOk : words::kClientNoLogin;
}

}  // namespace localsvc
