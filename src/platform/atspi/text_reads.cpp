#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "platform/atspi/atspi_private.h"
#include "platform/atspi/roles.h"
#include "platform/atspi/text_units.h"
#include "text/text.h"

namespace kestreye::atspi {
namespace {

// The toolkit's character count, asked once.
int64_t characterCountOf(AtspiAccessible* node, AtspiText* iface,
                         ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (memo.characterCount < 0) {
    const int count = read.call(node, [&](GError** error) {
      return atspi_text_get_character_count(iface, error);
    });
    if (read.ok()) memo.characterCount = count;
  }
  return memo.characterCount;
}

const std::optional<std::string>& ownTextOf(AtspiAccessible* node,
                                            ReadContext& read);

// Whether an embedded object of this role is a run of text inside a line
// (a link, a mark, a deletion).
bool isTextRunRole(AtspiRole role) {
  switch (role) {
    case ATSPI_ROLE_LINK:
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_MARK:
    case ATSPI_ROLE_SUBSCRIPT:
    case ATSPI_ROLE_SUPERSCRIPT:
    case ATSPI_ROLE_CONTENT_DELETION:
    case ATSPI_ROLE_CONTENT_INSERTION:
      return true;
    default:
      return false;
  }
}

// How deep embedded objects are read inside embedded objects.
constexpr int kMaxEmbedding = 6;
constexpr int kMaxEmbeddedObjects = 2000;

// Puts the text of each embedded object where its U+FFFC stands. The
// objects are the children that are not text leaves (Chromium's STATIC
// children are runs of the parent's own text), in order; the children are
// listed raw, as the offsets count them, hidden or not. A control (an entry
// beside its label) stands for nothing readable.
void flattenEmbedded(AtspiAccessible* node, ElementMemo& memo,
                     const ReadContext& read) {
  ReadContext local = read.fresh();
  if (embeddedObjectCount(*memo.text) > 0 &&
      read.embeddingDepth() < kMaxEmbedding) {
    const int count =
        std::clamp(childCountOf(node, local), 0, kMaxEmbeddedObjects);
    forEachChildAt(node, count, local, [&](GRef<AtspiAccessible> child) {
      if (child == nullptr) return true;
      const AtspiRole role = roleOf(child.get(), local);
      if (role == ATSPI_ROLE_STATIC) return true;
      EmbeddedText object;
      object.block = isTextBlockRole(role);
      if (object.block || isTextRunRole(role)) {
        object.text = local.insideEmbedded([&] {
          return ownTextOf(child.get(), local).value_or(std::string());
        });
      } else {
        object.shown = false;
      }
      memo.objects.push_back(std::move(object));
      memo.embedded.push_back(std::move(child));
      return true;
    });
  }
  // Unmatched objects are dropped rather than shown wrong.
  if (!local.ok()) {
    memo.objects.clear();
    memo.embedded.clear();
  }
  memo.flat = flattenText(*memo.text, memo.objects);
  memo.text = memo.flat->text;
}

// The element's own text, as its Text interface gives it (embedded objects
// put in place).
const std::optional<std::string>& ownTextOf(AtspiAccessible* node,
                                            ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (memo.textRead) return memo.text;
  GRef<AtspiText> iface(atspi_accessible_get_text_iface(node));
  if (iface == nullptr) {
    memo.textRead = true;
    return memo.text;
  }
  // A password's text is never asked for: GTK 4 hands it out in clear.
  if (roleOf(node, read) == ATSPI_ROLE_PASSWORD_TEXT) {
    if (!read.ok()) return memo.text;
    memo.textRead = true;
    memo.text = std::string();
    return memo.text;
  }
  GText text(read.call(node, [&](GError** error) {
    return atspi_text_get_text(iface.get(), 0, -1, error);
  }));
  if (read.ok() && (text == nullptr || text.get()[0] == '\0')) {
    // GTK 4 answers (0, -1) with an empty text, (0, count) with the text.
    const int64_t count = characterCountOf(node, iface.get(), read);
    if (count > 0 && read.ok()) {
      text.reset(read.call(node, [&](GError** error) {
        return atspi_text_get_text(iface.get(), 0, static_cast<gint>(count),
                                   error);
      }));
    }
  }
  if (!read.ok()) return memo.text;  // not remembered: failed
  memo.textRead = true;
  memo.text = text == nullptr ? std::string() : std::string(text.get());
  if (roleOf(node, read) == ATSPI_ROLE_TERMINAL) {
    // VTE hands out every row of the screen: the empty rows below the
    // prompt would fill the cursor line. They go; the caret and all before
    // it stay where they are.
    const int caret = read.call(node, [&](GError** error) {
      return atspi_text_get_caret_offset(iface.get(), error);
    });
    if (read.ok()) {
      const std::string whole = sanitizeUtf8(*memo.text);
      memo.text = std::string(trimTerminalRows(whole, caret));
      // VTE's offsets count code points, and its own count matches neither
      // them nor UTF-16 units of its text: the text's code points stand in.
      memo.characterCount = static_cast<int64_t>(g_utf8_strlen(
          memo.text->data(), static_cast<gssize>(memo.text->size())));
    }
  }
  if (needsFlattening(*memo.text)) {
    memo.text = sanitizeUtf8(*memo.text);
    flattenEmbedded(node, memo, read);
  }
  return memo.text;
}

int64_t codePointCount(std::string_view text) {
  return std::count_if(text.begin(), text.end(), [](char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
  });
}

}  // namespace

// A text frame is one text to its reader (a text box of a slide, a cell
// being edited), though each paragraph has its own Text interface: each
// paragraph reads the whole, its paragraphs joined by line feeds.
const std::optional<std::string>& textOf(AtspiAccessible* node,
                                         ReadContext& read) {
  const std::optional<std::string>& own = ownTextOf(node, read);
  ElementMemo& memo = read.memo(node);
  if (!own.has_value() || !read.ok() || memo.frameRead) {
    return memo.frameText.has_value() ? memo.frameText : own;
  }
  ReadContext local = read.fresh();
  const auto* paragraphs = frameParagraphs(node, local);
  std::string whole;
  int64_t start = -1;
  int64_t offset = 0;
  for (size_t i = 0; paragraphs != nullptr && i < paragraphs->size(); ++i) {
    AtspiAccessible* paragraph = (*paragraphs)[i].get();
    if (i > 0) {
      whole += '\n';
      ++offset;
    }
    if (paragraph == node) start = offset;
    const std::string text =
        sanitizeUtf8(ownTextOf(paragraph, local).value_or(std::string()));
    offset += codePointCount(text);
    whole += text;
  }
  // A frame that cannot be read whole leaves the paragraph its own text.
  if (!local.ok() && read.cache().hangs(node)) {
    read.fail(local.failure());
    return own;
  }
  memo.frameRead = true;
  if (local.ok() && start >= 0) {
    memo.frameText = std::move(whole);
    memo.frameStart = start;
    return memo.frameText;
  }
  return own;
}

// Caret and first selection, in code points; false without a Text interface.
bool readSelection(AtspiAccessible* node, ReadContext& read,
                   ElementMemo** result) {
  ElementMemo& memo = read.memo(node);
  *result = &memo;
  if (memo.selectionRead) return true;
  GRef<AtspiText> iface(atspi_accessible_get_text_iface(node));
  if (iface == nullptr) return false;
  const int caret = read.call(node, [&](GError** error) {
    return atspi_text_get_caret_offset(iface.get(), error);
  });
  const int selections = read.call(node, [&](GError** error) {
    return atspi_text_get_n_selections(iface.get(), error);
  });
  if (selections > 0) {
    std::unique_ptr<AtspiRange, GFree> range(
        read.call(node, [&](GError** error) {
          return atspi_text_get_selection(iface.get(), 0, error);
        }));
    if (range != nullptr && range->start_offset != range->end_offset) {
      memo.selection = std::make_pair(int64_t{range->start_offset},
                                      int64_t{range->end_offset});
    }
  }
  const std::string whole =
      sanitizeUtf8(ownTextOf(node, read).value_or(std::string()));
  // Qt and LibreOffice count offsets in UTF-16 units, GTK and Java in code
  // points; the count against the text tells which, and only a text with a
  // character outside the Basic Multilingual Plane needs asking.
  const bool astral = std::any_of(whole.begin(), whole.end(), [](char byte) {
    return static_cast<unsigned char>(byte) >= 0xF0;
  });
  const int64_t count = astral ? characterCountOf(node, iface.get(), read) : -1;
  if (!read.ok()) return false;
  memo.caret = caret;
  memo.selectionRead = true;
  if (memo.flat.has_value()) {
    // Offsets count each embedded object as one code point (and Firefox's
    // padding); an editable area's caret stands on the block that holds it.
    const FlatText& flat = *memo.flat;
    if (caret >= 0 && static_cast<size_t>(caret) < flat.objectAt.size() &&
        flat.objectAt[static_cast<size_t>(caret)] >= 0) {
      const auto k =
          static_cast<size_t>(flat.objectAt[static_cast<size_t>(caret)]);
      ElementMemo* inner = nullptr;
      ReadContext ignored = read.fresh();
      if (k < memo.embedded.size() &&
          readSelection(memo.embedded[k].get(), ignored, &inner)) {
        memo.objects[k].caret = inner->caret;
      }
    }
    if (caret >= 0) memo.caret = flatOffset(flat, caret, memo.objects);
    if (memo.selection.has_value()) {
      memo.selection = std::make_pair(
          flatOffset(flat, memo.selection->first, memo.objects),
          flatOffset(flat, memo.selection->second, memo.objects));
    }
  } else if (countsUtf16Units(whole, count)) {
    if (memo.caret >= 0) memo.caret = codePointOfUtf16(whole, memo.caret);
    if (memo.selection.has_value()) {
      memo.selection =
          std::make_pair(codePointOfUtf16(whole, memo.selection->first),
                         codePointOfUtf16(whole, memo.selection->second));
    }
  }
  // In a text frame the offsets count from the paragraph's start.
  (void)textOf(node, read);
  if (memo.frameText.has_value()) {
    if (memo.caret >= 0) memo.caret += memo.frameStart;
    if (memo.selection.has_value()) {
      memo.selection = std::make_pair(memo.selection->first + memo.frameStart,
                                      memo.selection->second + memo.frameStart);
    }
  }
  return true;
}

}  // namespace kestreye::atspi
