#include "text/text.h"

#include <utf8proc.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace kestreye {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Length of the well-formed prefix of a sequence that starts with `lead`, as
// the Unicode Standard's table of well-formed byte sequences allows it. Zero
// means `lead` cannot start a sequence at all.
struct LeadRule {
  int length;         // total bytes of the sequence
  unsigned char low;  // allowed range of the second byte
  unsigned char high;
};

LeadRule leadRule(unsigned char lead) {
  if (lead < 0x80) return {1, 0, 0};
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead >= 0xE1 && lead <= 0xEC) return {3, 0x80, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead >= 0xEE && lead <= 0xEF) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

// Bytes taken by the sequence at `pos`: positive for a well-formed one,
// negative for the maximal ill-formed subpart that one U+FFFD replaces.
long sequenceAt(std::string_view bytes, size_t pos) {
  const auto lead = static_cast<unsigned char>(bytes[pos]);
  const LeadRule rule = leadRule(lead);
  if (rule.length == 1) return 1;
  if (rule.length == 0) return -1;
  size_t taken = 1;
  for (int i = 1; i < rule.length; ++i) {
    if (pos + taken >= bytes.size()) return -static_cast<long>(taken);
    const auto byte = static_cast<unsigned char>(bytes[pos + taken]);
    const unsigned char low = i == 1 ? rule.low : 0x80;
    const unsigned char high = i == 1 ? rule.high : 0xBF;
    if (byte < low || byte > high) return -static_cast<long>(taken);
    ++taken;
  }
  return static_cast<long>(taken);
}

// Decodes the code point at `pos` of valid UTF-8; a stray byte reads as
// U+FFFD of one byte so that a caller never loops.
char32_t decodeAt(std::string_view text, size_t pos, size_t* size) {
  utf8proc_int32_t cp = 0;
  const auto n = utf8proc_iterate(
      reinterpret_cast<const utf8proc_uint8_t*>(text.data() + pos),
      static_cast<utf8proc_ssize_t>(text.size() - pos), &cp);
  if (n <= 0) {
    *size = 1;
    return kReplacement;
  }
  *size = static_cast<size_t>(n);
  return static_cast<char32_t>(cp);
}

// Decodes the code point that ends at `end`, for trimming from the right.
char32_t decodeBefore(std::string_view text, size_t end, size_t* size) {
  size_t start = end - 1;
  while (start > 0 && end - start < 4 &&
         (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) {
    --start;
  }
  size_t decoded = 0;
  const char32_t cp = decodeAt(text, start, &decoded);
  if (start + decoded != end) {
    *size = 1;
    return kReplacement;
  }
  *size = decoded;
  return cp;
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
  constexpr uint64_t kHighBits = 0x8080808080808080ULL;
  size_t pos = 0;
  while (pos < bytes.size()) {
    // Runs of ASCII, most of a text, eight bytes at a time: a text of
    // megabytes is checked in milliseconds.
    uint64_t word = 0;
    while (pos + sizeof word <= bytes.size() &&
           (std::memcpy(&word, bytes.data() + pos, sizeof word),
            (word & kHighBits) == 0)) {
      pos += sizeof word;
    }
    if (pos >= bytes.size()) break;
    const long n = sequenceAt(bytes, pos);
    if (n < 0) return false;
    pos += static_cast<size_t>(n);
  }
  return true;
}

std::string sanitizeUtf8(std::string_view bytes) {
  if (isValidUtf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 16);
  size_t pos = 0;
  while (pos < bytes.size()) {
    const long n = sequenceAt(bytes, pos);
    if (n > 0) {
      out.append(bytes.substr(pos, static_cast<size_t>(n)));
      pos += static_cast<size_t>(n);
    } else {
      appendUtf8(out, kReplacement);
      pos += static_cast<size_t>(-n);
    }
  }
  return out;
}

void appendUtf8(std::string& out, char32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

bool GraphemeCursor::next() {
  if (atEnd()) return false;
  size_t size = 0;
  int32_t previous = lookahead_;
  size_t pos = offset_;
  if (previous < 0) {
    previous = static_cast<int32_t>(decodeAt(text_, pos, &size));
  } else {
    size = lookaheadSize_;
  }
  pos += size;
  while (pos < text_.size()) {
    const auto byte = static_cast<unsigned char>(text_[pos]);
    // Two ASCII characters always stand apart, except CR LF; skipping the
    // table lookup makes long plain texts cheap. A fresh state is what the
    // break rules would hold after an ASCII character anyway.
    if (byte < 0x80 && previous < 0x80 && !(previous == '\r' && byte == '\n')) {
      lookahead_ = byte;
      lookaheadSize_ = 1;
      offset_ = pos;
      state_ = 0;
      return true;
    }
    const auto cp = static_cast<int32_t>(decodeAt(text_, pos, &size));
    if (utf8proc_grapheme_break_stateful(previous, cp, &state_)) {
      lookahead_ = cp;
      lookaheadSize_ = size;
      offset_ = pos;
      return true;
    }
    previous = cp;
    pos += size;
  }
  lookahead_ = -1;
  offset_ = text_.size();
  return true;
}

int64_t graphemeCount(std::string_view text) {
  GraphemeCursor cursor(text);
  int64_t count = 0;
  while (cursor.next()) ++count;
  return count;
}

int64_t graphemeCountCapped(std::string_view text, int64_t cap) {
  GraphemeCursor cursor(text);
  int64_t count = 0;
  while (count < cap && cursor.next()) ++count;
  return count;
}

size_t graphemePrefixBytes(std::string_view text, int64_t count) {
  GraphemeCursor cursor(text);
  for (int64_t i = 0; i < count && cursor.next(); ++i) {
  }
  return cursor.offset();
}

std::vector<size_t> graphemeOffsets(std::string_view text,
                                    const std::vector<int64_t>& indexes) {
  std::vector<size_t> offsets;
  offsets.reserve(indexes.size());
  GraphemeCursor cursor(text);
  int64_t index = 0;
  for (const int64_t wanted : indexes) {
    while (index < wanted && cursor.next()) ++index;
    offsets.push_back(cursor.offset());
  }
  return offsets;
}

size_t graphemeSuffixStart(std::string_view text, int64_t count) {
  if (count <= 0) return text.size();
  // Keep the starts of the last `count` characters in a ring.
  std::vector<size_t> ring(static_cast<size_t>(count), 0);
  GraphemeCursor cursor(text);
  int64_t seen = 0;
  size_t start = 0;
  while (cursor.next()) {
    ring[static_cast<size_t>(seen % count)] = start;
    ++seen;
    start = cursor.offset();
  }
  if (seen < count) return 0;
  return ring[static_cast<size_t>(seen % count)];
}

int64_t graphemeIndexAtByte(std::string_view text, size_t offset) {
  GraphemeCursor cursor(text);
  int64_t index = 0;
  while (cursor.next() && cursor.offset() <= offset) ++index;
  return index;
}

bool isTrimmable(char32_t cp) {
  if ((cp >= 0x09 && cp <= 0x0D) || cp == 0x85) return true;
  const auto category = utf8proc_category(static_cast<utf8proc_int32_t>(cp));
  return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL ||
         category == UTF8PROC_CATEGORY_ZP;
}

std::string_view trimSpace(std::string_view text) {
  size_t begin = 0;
  size_t size = 0;
  while (begin < text.size() && isTrimmable(decodeAt(text, begin, &size))) {
    begin += size;
  }
  size_t end = text.size();
  while (end > begin && isTrimmable(decodeBefore(text, end, &size))) {
    end -= size;
  }
  return text.substr(begin, end - begin);
}

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  out += text;
  out += '"';
  return out;
}

std::string joinWith(const std::vector<std::string>& items,
                     std::string_view separator) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += separator;
    out += items[i];
  }
  return out;
}

std::string replaceAll(std::string_view text, std::string_view from,
                       std::string_view to) {
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (true) {
    const size_t hit = text.find(from, pos);
    if (hit == std::string_view::npos || from.empty()) break;
    out.append(text.substr(pos, hit - pos));
    out.append(to);
    pos = hit + from.size();
  }
  out.append(text.substr(pos));
  return out;
}

std::string truncateString(std::string_view text, int64_t maxLen) {
  if (maxLen < 0) maxLen = 0;
  // Counting stops one past the limit, so a huge text costs only its prefix.
  const int64_t cap = maxLen < INT64_MAX ? maxLen + 1 : maxLen;
  if (graphemeCountCapped(text, cap) <= maxLen) return std::string(text);
  std::string out(text.substr(0, graphemePrefixBytes(text, maxLen)));
  out += "...";
  return out;
}

}  // namespace kestreye
