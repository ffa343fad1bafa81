// Block identities and the texts of the block protocol: a blockId names a block by its
// plain size and SHA-1; SHA-1 texts and file keys are hexadecimal texts of fixed length.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The largest block of the protocol: 64 pieces of 64 KiB.
inline constexpr uint32_t kBlockSize = 4194304;
inline constexpr size_t kBlockIdLength = 46;

// "%06x%s": the size in lower-case hexadecimal, six digits, then the 40-digit SHA-1
// text as given (callers pass lower case).
std::string FormatBlockId(uint32_t size, std::string_view sha1);

// The size a blockId names: -1 when the text is not exactly 46 characters long;
// otherwise its first six characters read as hexadecimal digits, upper-case letters
// folded (a character that is no hexadecimal digit logs an assertion and counts as 0).
int32_t BlockSizeFromBlockId(std::string_view blockId);

// True for a blockId that may be used: 46 lower-case hexadecimal digits naming a size
// of at most kBlockSize. Every blockId the service sends is checked with this before
// it is used in any way (as a file name, a size, a key).
bool IsValidBlockId(std::string_view blockId);

// The SHA-1 text inside a valid blockId (its last 40 characters).
inline std::string_view Sha1OfBlockId(std::string_view blockId) { return blockId.substr(6); }

// True for exactly count hexadecimal digits, either case.
bool IsHexText(std::string_view text, size_t count);

// SHA-1 texts compared ignoring the case of the hexadecimal letters.
bool Sha1TextEquals(std::string_view a, std::string_view b);

// The text as a JSON string's content: '"' and '\' escaped with a backslash, control
// characters as \u00XX; everything else as it stands.
std::string JsonEscape(std::string_view text);
