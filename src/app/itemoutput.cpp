#include "app/itemoutput.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "app/resultmessages.h"
#include "common/utf8.h"
#include "core/interfaces/taskdata.h"

namespace {

std::string Hex(HRESULT result) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(result));
  return text;
}

const char* TypeName(uint32_t isDir) {
  if (isDir == kItemSharerFolder) return "sharer";
  return isDir ? "folder" : "file";
}

const char* StateName(int32_t state) {
  switch (state) {
    case TS_Running:
      return "running";
    case TS_Finish:
      return "finished";
    default:
      return "waiting";
  }
}

void AppendField(std::string* out, const char* key, const std::string& jsonValue, bool* first) {
  if (!*first) *out += ",";
  *first = false;
  *out += "\"";
  *out += key;
  *out += "\":" + jsonValue;
}

// The character that starts at text[at] of valid UTF-8, and its length in bytes.
char32_t CodePointAt(const std::string& text, size_t at, size_t* length) {
  const unsigned char lead = static_cast<unsigned char>(text[at]);
  *length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  char32_t cp = *length == 1 ? lead : lead & (0x7F >> *length);
  for (size_t k = 1; k < *length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[at + k]) & 0x3F);
  return cp;
}

// C0 controls, DEL and C1 controls: a terminal acts on them instead of showing them.
bool IsControl(char32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F); }

// The bidirectional embeddings, overrides and isolates: they reorder the text after them.
bool IsBidiControl(char32_t cp) { return (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069); }

}  // namespace

std::string JsonQuote(const std::string& text) {
  const std::string valid = IsValidUtf8(text) ? text : ToValidUtf8(text);
  std::string out = "\"";
  for (size_t i = 0; i < valid.size();) {
    size_t length = 0;
    const char32_t cp = CodePointAt(valid, i, &length);
    switch (cp) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (IsControl(cp) || IsBidiControl(cp)) {
          char escaped[16];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(cp));
          out += escaped;
        } else {
          out.append(valid, i, length);
        }
    }
    i += length;
  }
  return out + "\"";
}

std::string PrintableText(const std::string& text) {
  const std::string valid = IsValidUtf8(text) ? text : ToValidUtf8(text);
  std::string out;
  out.reserve(valid.size());
  for (size_t i = 0; i < valid.size();) {
    size_t length = 0;
    const char32_t cp = CodePointAt(valid, i, &length);
    if (IsControl(cp)) {
      out += '?';
    } else if (IsBidiControl(cp)) {
      char shown[16];
      std::snprintf(shown, sizeof shown, "<U+%04X>", static_cast<unsigned>(cp));
      out += shown;
    } else {
      out.append(valid, i, length);
    }
    i += length;
  }
  return out;
}

std::string HumanBytes(int64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  value /= 1024;
  while (value >= 1024 && unit + 1 < std::size(kUnits)) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string FormatItemLines(const std::vector<CFileItemRecord>& items, bool longFormat) {
  std::string out;
  size_t sizeWidth = 1;
  for (const auto& item : items)
    if (!item.bIsDir) sizeWidth = std::max(sizeWidth, std::to_string(item.size).size());
  for (size_t i = 0; i < items.size(); ++i) {
    const CFileItemRecord& item = items[i];
    std::string name = PrintableText(item.strName) + (item.bIsDir ? "/" : "");
    if (i) out += "\n";
    if (!longFormat) {
      out += name;
      continue;
    }
    std::string kind = item.bIsDir == kItemSharerFolder ? "s" : (item.bIsDir ? "d" : "-");
    std::string size = item.bIsDir ? "-" : std::to_string(item.size);
    std::string mtime = PrintableText(item.strLocalMTime);
    out += kind + "  " + std::string(sizeWidth - std::min(sizeWidth, size.size()), ' ') + size + "  " +
           (mtime.empty() ? "-" : mtime) + "  " + name + "  " + PrintableText(item.strSvrId);
  }
  return out;
}

std::string FormatItemsJson(const std::vector<CFileItemRecord>& items, const CloudPath* folder) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) {
    const CFileItemRecord& item = items[i];
    if (i) out += ",";
    out += "{";
    bool first = true;
    AppendField(&out, "name", JsonQuote(item.strName), &first);
    if (folder) {
      // A name that cannot be an element (the service may send anything) is shown joined as it is.
      std::string path = folder->Display();
      path += (path == "/" ? "" : "/") + item.strName;
      AppendField(&out, "path", JsonQuote(path), &first);
    }
    AppendField(&out, "type", JsonQuote(TypeName(item.bIsDir)), &first);
    AppendField(&out, "id", JsonQuote(item.strSvrId), &first);
    AppendField(&out, "parentId", JsonQuote(item.strParentId), &first);
    AppendField(&out, "size", std::to_string(item.size), &first);
    AppendField(&out, "fileVer", std::to_string(item.fileVer), &first);
    AppendField(&out, "opVer", std::to_string(item.opVer), &first);
    AppendField(&out, "sha1", JsonQuote(item.strSha1), &first);
    AppendField(&out, "modified", JsonQuote(item.strLocalMTime), &first);
    AppendField(&out, "created", JsonQuote(item.strLocalCTime), &first);
    AppendField(&out, "modifier", JsonQuote(item.strModifier), &first);
    AppendField(&out, "shared", item.bShared ? "true" : "false", &first);
    out += "}";
  }
  return out + "]";
}

std::string FormatTaskLines(const std::vector<TaskListEntry>& running, const std::vector<TaskListEntry>& finished) {
  std::string out;
  for (const auto* list : {&running, &finished}) {
    for (const auto& task : *list) {
      if (!out.empty()) out += "\n";
      out += PrintableText(task.strId) + "  " + StateName(task.eTaskStateType) + "  " +
             (task.nDirection ? "upload" : "download") + "  " + HumanBytes(task.nDoneSize) + "/" +
             HumanBytes(task.nTotalSize) + "  " + PrintableText(DisplayFromEngineForm(task.strFullPath));
      if (task.eTaskStateType == TS_Finish)
        out += "  " + (task.hrResult == S_OK       ? std::string("ok")
                       : task.hrResult == S_FALSE ? std::string("kept (nothing uploaded)")
                                                  : PrintableText(ResultMessage(task.hrResult)));
    }
  }
  return out;
}

std::string FormatTasksJson(const std::vector<TaskListEntry>& running, const std::vector<TaskListEntry>& finished) {
  std::string out = "{\"tasks\":[";
  bool firstTask = true;
  for (const auto* list : {&running, &finished}) {
    for (const auto& task : *list) {
      if (!firstTask) out += ",";
      firstTask = false;
      out += "{";
      bool first = true;
      AppendField(&out, "id", JsonQuote(task.strId), &first);
      AppendField(&out, "path", JsonQuote(DisplayFromEngineForm(task.strFullPath)), &first);
      AppendField(&out, "direction", JsonQuote(task.nDirection ? "upload" : "download"), &first);
      AppendField(&out, "state", JsonQuote(StateName(task.eTaskStateType)), &first);
      AppendField(&out, "done", std::to_string(task.nDoneSize), &first);
      AppendField(&out, "total", std::to_string(task.nTotalSize), &first);
      AppendField(&out, "result", JsonQuote(Hex(task.hrResult)), &first);
      AppendField(&out, "resultName", JsonQuote(ResultName(task.hrResult)), &first);
      AppendField(&out, "ok", task.eTaskStateType == TS_Finish && SUCCEEDED(task.hrResult) ? "true" : "false", &first);
      out += "}";
    }
  }
  return out + "]}";
}
