#include "app/cloudpath.h"

#include "common/utf8.h"

namespace {

bool HasControl(std::string_view text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

void SetError(std::string* error, const std::string& text) {
  if (error) *error = text;
}

}  // namespace

bool IsValidCloudName(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.size() > CloudPath::kMaxElementBytes) return false;
  if (name.find('/') != std::string_view::npos || name.find('\\') != std::string_view::npos) return false;
  return IsValidUtf8(name) && !HasControl(name);
}

bool CloudPath::Parse(std::string_view typed, CloudPath* out, std::string* error) {
  if (!IsValidUtf8(typed)) {
    SetError(error, "the path is not valid UTF-8");
    return false;
  }
  if (HasControl(typed)) {
    SetError(error, "the path holds a control character");
    return false;
  }
  if (typed.find('\\') != std::string_view::npos) {
    SetError(error, "a cloud name cannot hold \"\\\"; separate folders with \"/\"");
    return false;
  }
  CloudPath path;
  size_t pos = 0;
  while (pos <= typed.size()) {
    size_t end = typed.find('/', pos);
    if (end == std::string_view::npos) end = typed.size();
    std::string_view element = typed.substr(pos, end - pos);
    if (element.size() > kMaxElementBytes) {
      SetError(error, "a path element is longer than " + std::to_string(kMaxElementBytes) + " bytes");
      return false;
    }
    if (element == "..") {
      if (!path.m_elements.empty()) path.m_elements.pop_back();
    } else if (!element.empty() && element != ".") {
      path.m_elements.emplace_back(element);
    }
    pos = end + 1;
  }
  if (out) *out = std::move(path);
  return true;
}

CloudPath CloudPath::Parent() const {
  CloudPath parent = *this;
  if (!parent.m_elements.empty()) parent.m_elements.pop_back();
  return parent;
}

CloudPath CloudPath::Child(const std::string& name) const {
  CloudPath child = *this;
  child.m_elements.push_back(name);
  return child;
}

std::string CloudPath::Display() const {
  if (m_elements.empty()) return "/";
  std::string text;
  for (const auto& element : m_elements) text += "/" + element;
  return text;
}

std::string CloudPath::EngineForm() const {
  if (m_elements.empty()) return "\\";
  std::string text;
  for (const auto& element : m_elements) text += "\\" + element;
  return text;
}

std::string DisplayFromEngineForm(const std::string& engineForm) {
  std::string text = engineForm;
  for (char& c : text)
    if (c == '\\') c = '/';
  if (text.empty() || text[0] != '/') text.insert(text.begin(), '/');
  return text;
}
