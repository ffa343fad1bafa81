// The sharers text: an item's share list in one column of the item tables. Each entry
// is "userId,rights,email,nickName" (rights in decimal), entries joined by "|" with
// none after the last; the empty list is the empty text.
//
// When a userId, email or nickName holds "," or "|", the text is written in the
// escaped form instead: "|" first, then the entries as above with "%", "," and "|"
// inside the three texts written "%25", "%2C" and "%7C". Texts without separators are
// written byte for byte as they are. The plain form never starts with "|" (a text
// starting so would be escaped), so the two forms cannot be mistaken for each other.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/interfaces/fileitemrecord.h"

// The stored text of the list; ParseSharers reads it back exactly.
std::string SerializeSharers(const std::vector<ShareEntry>& entries);

// Appends the entries of a sharers text. Never fails.
// The escaped form: every entry of four fields is read exactly; any other piece is
// skipped, and "%" not followed by two hexadecimal digits stands for itself.
// The plain form (also every text stored before the escaped form existed): rights
// are read as a decimal number up to the first other character, the nickName takes
// the rest of its entry (so it may hold ","), and a piece with fewer than three ","
// (the empty piece too) cannot be an entry of its own and is taken as the rest of the
// previous entry's nickName (so a nickName may hold "|"); such a piece before any
// entry is dropped.
void ParseSharers(std::string_view text, std::vector<ShareEntry>* entries);
