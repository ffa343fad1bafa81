// What listings, the task list and the account commands print: lines for people, one
// item a line, and JSON for scripts. Texts from the service are printed as they are in
// JSON (escaped), and in lines as PrintableText shows them, so that one item always
// stays one line and no name can drive the terminal or reorder the text around it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/cloudpath.h"
#include "core/interfaces/fileitemrecord.h"
#include "core/interfaces/itaskmgr.h"

// A JSON string literal of text (quotes included); bytes that are not UTF-8 become
// U+FFFD. Control characters (C0, DEL, C1) and the bidirectional controls that
// PrintableText shows are escaped as "\uXXXX", so that the literal is safe on a
// terminal and parses back to the exact text.
std::string JsonQuote(const std::string& text);

// The text as a terminal line may show it: bytes that are not UTF-8 become U+FFFD;
// every control character, C0 (below U+0020), DEL and C1 (U+0080 to U+009F, among
// them the one-character CSI U+009B and NEL U+0085), becomes "?"; each bidirectional
// embedding, override or isolate (U+202A to U+202E, U+2066 to U+2069) is shown as
// "<U+XXXX>" (e.g. "<U+202E>"). Every other character stays as it is. Applying it
// twice changes nothing more.
std::string PrintableText(const std::string& text);

// One line per item, no trailing newline after the last: the name ("/" after a
// folder's); with longFormat kind ("d" folder, "s" a sharer's folder, "-" file), size,
// modification time, name and id, in columns.
std::string FormatItemLines(const std::vector<CFileItemRecord>& items, bool longFormat);
// A JSON array of objects: name, path (folder joined with the name; for search hits,
// which have no folder, absent), type ("folder", "file" or "sharer"), id, parentId,
// size, fileVer, opVer, sha1, modified, created, modifier, shared.
std::string FormatItemsJson(const std::vector<CFileItemRecord>& items, const CloudPath* folder);

// The task list: running (running, then waiting) and finished. Lines: id, state,
// direction, bytes done of total, cloud path and, for an ended one, its result ("ok";
// "kept (nothing uploaded)" for an upload that left the cloud's file as it was).
std::string FormatTaskLines(const std::vector<TaskListEntry>& running, const std::vector<TaskListEntry>& finished);
// {"tasks":[{id, path, direction ("upload"/"download"), state ("waiting"/"running"/
// "finished"), done, total, result (hex text), resultName, ok (ended with a success,
// a kept file too)}]}.
std::string FormatTasksJson(const std::vector<TaskListEntry>& running, const std::vector<TaskListEntry>& finished);

// "1.5 MiB", "512 B".
std::string HumanBytes(int64_t bytes);
