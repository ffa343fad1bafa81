// The sharers text: an item's share list in one column of the item tables. Each entry
// is "userId,rights,email,nickName" (rights in decimal), entries joined by "|" with
// none after the last; the empty list is the empty text.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/interfaces/fileitemrecord.h"

std::string SerializeSharers(const std::vector<ShareEntry>& entries);

// Appends the entries of a sharers text. Never fails: rights are read as a decimal
// number up to the first other character, the nickName takes the rest of its entry (so it may hold ","), and a piece with
// fewer than three "," (the empty piece too) cannot be an entry of its own and is
// taken as the rest of the previous entry's nickName (so a nickName may hold "|");
// such a piece before any entry is dropped.
void ParseSharers(std::string_view text, std::vector<ShareEntry>* entries);
