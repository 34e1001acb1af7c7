// Web engines put U+FFFC (the object replacement character) in a text where
// an embedded object sits (a link, a block of an editable area) and leave its
// text to the object itself; Firefox also pads every character beyond the
// Basic Multilingual Plane with U+FEFF, so that its offsets count UTF-16
// units. These helpers rebuild the text a user sees and map offsets onto it.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestreye::atspi {

/// One embedded object's share of its parent's text.
struct EmbeddedText {
  std::string text;    ///< its text, its own embedded objects already in place
  int64_t caret = -1;  ///< its caret in code points of `text`, or -1
  bool block = false;  ///< a block of its own (paragraph, section): own line
  bool shown = true;   ///< false: the object stands for nothing readable
};

/// A text with its embedded objects in place.
struct FlatText {
  std::string text;
  /// For each code point of the raw text, and its end, the code point offset
  /// in `text`.
  std::vector<int64_t> offsets;
  /// For each code point of the raw text, the embedded object it stands
  /// for, or -1.
  std::vector<int> objectAt;
  /// For each embedded object, the code point offset where its text starts.
  std::vector<int64_t> starts;
};

/// The code points of a raw text that stand for embedded objects.
int64_t embeddedObjectCount(std::string_view raw);

/// Whether a raw text needs flattening at all.
bool needsFlattening(std::string_view raw);

/// Puts each object's text where its U+FFFC stands (a line feed around a
/// block), or drops every U+FFFC when `objects` does not match them one to
/// one; drops the U+FEFF that follows a character beyond the BMP. `raw` must
/// be valid UTF-8.
FlatText flattenText(std::string_view raw,
                     std::span<const EmbeddedText> objects);

/// A raw code point offset in the flattened text; an offset on an object
/// whose caret is known lands on that caret. Clamped to the text.
int64_t flatOffset(const FlatText& flat, int64_t raw,
                   std::span<const EmbeddedText> objects);

}  // namespace kestreye::atspi
