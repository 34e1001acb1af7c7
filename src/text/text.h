// Text helpers shared by the whole program: UTF-8 repair, user-perceived
// characters (extended grapheme clusters) and white-space trimming.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestreye {

/// Valid UTF-8 for any bytes: each maximal ill-formed subsequence becomes one
/// U+FFFD.
std::string sanitizeUtf8(std::string_view bytes);

/// Whether the bytes are well-formed UTF-8 (NULs included).
bool isValidUtf8(std::string_view bytes);

/// Appends the UTF-8 encoding of a code point (U+FFFD for surrogates and
/// out-of-range values).
void appendUtf8(std::string& out, char32_t codePoint);

/// Walks a valid UTF-8 text one user-perceived character at a time.
class GraphemeCursor {
 public:
  explicit GraphemeCursor(std::string_view text) : text_(text) {}
  /// Byte offset where the next character starts (the text's size at the end).
  size_t offset() const { return offset_; }
  /// True once every character has been passed.
  bool atEnd() const { return offset_ >= text_.size(); }
  /// Steps over one character; returns false at the end.
  bool next();

 private:
  std::string_view text_;
  size_t offset_ = 0;
  int32_t lookahead_ =
      -1;  ///< first code point of the next character, once decoded
  size_t lookaheadSize_ = 0;
  int32_t state_ = 0;
};

/// Number of user-perceived characters of a valid UTF-8 text.
int64_t graphemeCount(std::string_view text);

/// The same count, but stops once it reaches `cap` and returns `cap`.
int64_t graphemeCountCapped(std::string_view text, int64_t cap);

/// Byte length of the first `count` characters (the whole text when it has
/// fewer).
size_t graphemePrefixBytes(std::string_view text, int64_t count);

/// Byte offsets of the given character indexes, which must be ascending and
/// within [0, character count]; one pass over the text.
std::vector<size_t> graphemeOffsets(std::string_view text,
                                    const std::vector<int64_t>& indexes);

/// Byte offset of the start of the character `count` positions before the
/// end (0 when the text has fewer).
size_t graphemeSuffixStart(std::string_view text, int64_t count);

/// Number of characters that end at or before byte `offset`: a platform's
/// caret in smaller units, turned into user-perceived characters (an offset
/// inside a character counts as its start).
int64_t graphemeIndexAtByte(std::string_view text, size_t offset);

/// The text cut to `maxLen` user-perceived characters plus "..." when longer.
std::string truncateString(std::string_view text, int64_t maxLen);

/// Whether a code point is white space or a line break for trimming:
/// general category Z, U+0009 to U+000D, or U+0085.
bool isTrimmable(char32_t codePoint);

/// The text without trimmable code points at either end.
std::string_view trimSpace(std::string_view text);

/// The text between two double-quote characters; nothing inside is escaped.
std::string quoted(std::string_view text);

/// The items joined with `separator` between neighbours.
std::string joinWith(const std::vector<std::string>& items,
                     std::string_view separator);

/// Replaces every occurrence of `from` with `to`.
std::string replaceAll(std::string_view text, std::string_view from,
                       std::string_view to);

}  // namespace kestreye
