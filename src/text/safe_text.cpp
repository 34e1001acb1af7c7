#include "text/safe_text.h"

#include <utf8proc.h>

#include "text/text.h"

namespace kestreye {
namespace {

// Everything that a byte of printable ASCII cannot be.
bool isPlainAscii(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7F) return false;
  }
  return true;
}

// Appends the shown form of one code point.
void appendSafe(std::string& out, char32_t cp) {
  switch (cp) {
    case U'\n':
      out += "\\n";
      return;
    case U'\r':
      out += "\\r";
      return;
    case U'\t':
      out += ' ';
      return;
    default:
      break;
  }
  const bool control = cp < 0x20 || (cp >= 0x7F && cp <= 0x9F);
  const bool separator = cp == 0x2028 || cp == 0x2029;
  const bool bidi =
      (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
  if (control || separator || bidi) return;
  appendUtf8(out, cp);
}

}  // namespace

std::string safeText(std::string_view text) {
  // Plain ASCII is one code point per character and needs nothing.
  if (isPlainAscii(text)) return std::string(text);
  std::string out;
  out.reserve(text.size());
  GraphemeCursor cursor(text);
  size_t start = 0;
  while (cursor.next()) {
    const size_t end = cursor.offset();
    // Every code point that is rewritten or dropped stands alone in its
    // character (or with its CR in CR LF), so the cut never meets one.
    size_t pos = start;
    for (size_t kept = 0; pos < end && kept < MAX_CHARACTER_CODE_POINTS;
         ++kept) {
      utf8proc_int32_t cp = 0;
      const auto n = utf8proc_iterate(
          reinterpret_cast<const utf8proc_uint8_t*>(text.data() + pos),
          static_cast<utf8proc_ssize_t>(end - pos), &cp);
      if (n <= 0) {
        // Not reached for valid UTF-8; one stray byte reads as U+FFFD.
        appendUtf8(out, 0xFFFD);
        pos += 1;
        continue;
      }
      appendSafe(out, static_cast<char32_t>(cp));
      pos += static_cast<size_t>(n);
    }
    start = end;
  }
  return out;
}

}  // namespace kestreye
