// Cloud paths as users type them: "/Docs/a.txt", with "/" between the elements. The
// engine's own form joins the elements with "\" and starts with "\" ("\Docs\a.txt";
// the root is "\").
#pragma once

#include <string>
#include <string_view>
#include <vector>

class CloudPath {
 public:
  // The root.
  CloudPath() = default;

  // Reads a path as a user typed it. A leading "/" is optional (every path starts at the
  // root of its view), repeated and trailing "/" are dropped, and "." elements are
  // skipped; ".." takes back the element before it (never above the root). Refused,
  // with a reason in *error (when given): text that is not UTF-8; a NUL or other
  // control character; a "\" (it cannot be part of a cloud name); an element longer
  // than kMaxElementBytes.
  static bool Parse(std::string_view typed, CloudPath* out, std::string* error = nullptr);

  static constexpr size_t kMaxElementBytes = 1024;

  bool IsRoot() const { return m_elements.empty(); }
  const std::vector<std::string>& Elements() const { return m_elements; }
  // The last element; "" for the root.
  std::string Name() const { return m_elements.empty() ? std::string() : m_elements.back(); }
  // The folder that holds this path; the root's parent is the root.
  CloudPath Parent() const;
  // This path with one more element (which must be a valid element).
  CloudPath Child(const std::string& name) const;

  // "/Docs/a.txt"; "/" for the root.
  std::string Display() const;
  // "\Docs\a.txt"; "\" for the root.
  std::string EngineForm() const;

  friend bool operator==(const CloudPath&, const CloudPath&) = default;

 private:
  std::vector<std::string> m_elements;
};

// Whether name can be one element of a cloud path (not empty, not "." or "..", no "/",
// "\" or control characters, valid UTF-8, at most kMaxElementBytes).
bool IsValidCloudName(std::string_view name);

// The engine's form of a path ("\Docs\a.txt") as users write it ("/Docs/a.txt").
std::string DisplayFromEngineForm(const std::string& engineForm);
