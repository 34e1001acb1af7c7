#include "platform/atspi/embedded_text.h"

#include <algorithm>

namespace kestreye::atspi {

namespace {

constexpr char32_t kObjectReplacement = 0xFFFC;
constexpr char32_t kZeroWidthNoBreakSpace = 0xFEFF;

// One code point of valid UTF-8 starting at `at`, and its length in bytes.
char32_t decodeAt(std::string_view text, size_t at, size_t* length) {
  const auto lead = static_cast<unsigned char>(text[at]);
  size_t size = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  size = std::min(size, text.size() - at);
  char32_t point = size == 1 ? lead : lead & (0xFF >> (size + 1));
  for (size_t i = 1; i < size; ++i) {
    point = (point << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3F);
  }
  *length = size;
  return point;
}

int64_t codePoints(std::string_view text) {
  return static_cast<int64_t>(
      std::count_if(text.begin(), text.end(), [](char byte) {
        return (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
      }));
}

}  // namespace

int64_t embeddedObjectCount(std::string_view raw) {
  int64_t count = 0;
  // U+FFFC is EF BF BC in UTF-8.
  for (size_t at = raw.find("\xEF\xBF\xBC"); at != std::string_view::npos;
       at = raw.find("\xEF\xBF\xBC", at + 3)) {
    ++count;
  }
  return count;
}

bool needsFlattening(std::string_view raw) {
  return raw.find("\xEF\xBF\xBC") != std::string_view::npos ||
         raw.find("\xEF\xBB\xBF") != std::string_view::npos;
}

FlatText flattenText(std::string_view raw,
                     std::span<const EmbeddedText> objects) {
  FlatText flat;
  const bool placed =
      static_cast<int64_t>(objects.size()) == embeddedObjectCount(raw);
  int64_t written = 0;  // code points of flat.text
  bool breakPending = false;
  auto append = [&](std::string_view piece) {
    if (piece.empty()) return;
    if (breakPending && piece.front() != '\n' && written > 0 &&
        flat.text.back() != '\n') {
      flat.text += '\n';
      ++written;
    }
    breakPending = false;
    flat.text += piece;
    written += codePoints(piece);
  };
  size_t object = 0;
  char32_t previous = 0;
  for (size_t at = 0; at < raw.size();) {
    size_t length = 0;
    const char32_t point = decodeAt(raw, at, &length);
    flat.offsets.push_back(written);
    flat.objectAt.push_back(
        point == kObjectReplacement && placed ? static_cast<int>(object) : -1);
    if (point == kObjectReplacement) {
      if (placed) {
        const EmbeddedText& child = objects[object];
        if (child.shown && child.block && written > 0) breakPending = true;
        if (child.shown) append(child.text);
        flat.starts.push_back(written -
                              (child.shown ? codePoints(child.text) : 0));
        if (child.shown && child.block) breakPending = true;
      }
      ++object;
    } else if (!(point == kZeroWidthNoBreakSpace && previous > 0xFFFF)) {
      append(raw.substr(at, length));
    }
    previous = point;
    at += length;
  }
  flat.offsets.push_back(written);
  return flat;
}

int64_t flatOffset(const FlatText& flat, int64_t raw,
                   std::span<const EmbeddedText> objects) {
  if (flat.offsets.empty()) return 0;
  const int64_t last = static_cast<int64_t>(flat.offsets.size()) - 1;
  raw = std::clamp<int64_t>(raw, 0, last);
  // An editable area puts its caret on the block that holds it.
  if (raw < last) {
    const int object = flat.objectAt[static_cast<size_t>(raw)];
    if (object >= 0 && static_cast<size_t>(object) < flat.starts.size()) {
      const EmbeddedText& child = objects[static_cast<size_t>(object)];
      if (child.shown && child.caret >= 0) {
        return flat.starts[static_cast<size_t>(object)] +
               std::min(child.caret, codePoints(child.text));
      }
    }
  }
  return flat.offsets[static_cast<size_t>(raw)];
}

}  // namespace kestreye::atspi
