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

int64_t codePointCount(std::string_view text) {
  return std::count_if(text.begin(), text.end(), [](char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
  });
}

// The toolkit's character count, asked once; -1 without a Text interface.
int64_t characterCountOf(Node* node, ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (memo.characterCount < 0 && memo.hasText != false) {
    const std::optional<int32_t> count =
        read.ask(node, [](bus::Batch& batch, const bus::ObjectRef& ref) {
          return batch.characterCount(ref);
        });
    if (read.ok()) {
      memo.hasText = count.has_value();
      if (count.has_value()) memo.characterCount = *count;
    }
  }
  return memo.characterCount;
}

// The element's caret offset, in the toolkit's units; none without a Text
// interface.
std::optional<int32_t> caretOffsetOf(Node* node, ReadContext& read) {
  return read.ask(node, [](bus::Batch& batch, const bus::ObjectRef& ref) {
    return batch.caretOffset(ref);
  });
}

// The text from `start` to `end` (-1: the end).
std::optional<std::string> textRange(Node* node, int32_t start, int32_t end,
                                     ReadContext& read) {
  return read.ask(node, [&](bus::Batch& batch, const bus::ObjectRef& ref) {
    return batch.text(ref, start, end);
  });
}

const std::optional<std::string>& ownTextOf(Node* node, ReadContext& read);

// How deep embedded objects are read inside embedded objects.
constexpr int kMaxEmbedding = 6;
constexpr int kMaxEmbeddedObjects = 2000;

// Puts the text of each embedded object where its U+FFFC stands. The
// objects are the children that are not text leaves (Chromium's STATIC
// children are runs of the parent's own text), in order; the children are
// listed raw, as the offsets count them, hidden or not. A control (an entry
// beside its label) stands for nothing readable.
void flattenEmbedded(Node* node, ElementMemo& memo, const ReadContext& read) {
  ReadContext local = read.fresh();
  if (embeddedObjectCount(*memo.text) > 0 &&
      read.embeddingDepth() < kMaxEmbedding) {
    const auto* children = rawChildrenOf(node, local);
    const size_t count =
        children == nullptr
            ? 0
            : std::min(children->size(), size_t{kMaxEmbeddedObjects});
    // Their texts in one batch, not a round trip each.
    std::vector<Node*> objects;
    for (size_t i = 0; i < count; ++i) objects.push_back((*children)[i].get());
    prefetch(objects, kPrefetchEmbeddedText, local);
    for (size_t i = 0; i < count && local.ok(); ++i) {
      const NodeRef& child = (*children)[i];
      const AtspiRole role = roleOf(child.get(), local);
      if (role == ATSPI_ROLE_STATIC) continue;
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
      memo.embedded.push_back(child);
    }
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
const std::optional<std::string>& ownTextOf(Node* node, ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (memo.textRead) return memo.text;
  if (memo.hasText == false) {
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
  if (!memo.rawText.has_value()) {
    readAheadWithSiblings(node, kPrefetchText, read);
    if (!read.ok()) return memo.text;  // not remembered: failed
  }
  // Asked on its own when its role shows no text and it was not known to
  // have a Text interface.
  std::optional<std::string> text =
      memo.rawText.has_value() ? std::exchange(memo.rawText, std::nullopt)
      : memo.hasText == false
          ? std::nullopt
          : textRange(node, 0, wholeTextEnd(node, read), read);
  if (read.ok() && text.has_value() && text->empty()) {
    // A toolkit that clamps the end as GTK 4 does (wholeTextEnd) answers
    // (0, -1) with an empty text, (0, count) with the text. The siblings
    // whose texts came empty with this one are counted with it: the walks
    // read theirs next.
    if (memo.characterCount < 0) {
      std::vector<Node*> empty{node};
      for (Node* sibling : withSiblings(node, read)) {
        const ElementMemo& other = read.memo(sibling);
        if (sibling != node && other.rawText.has_value() &&
            other.rawText->empty() && other.characterCount < 0) {
          empty.push_back(sibling);
        }
      }
      Riders(empty, kPrefetchCount, read, node, &read).rest();
    }
    const int64_t count = characterCountOf(node, read);
    if (count > 0 && read.ok()) {
      text = textRange(node, 0, static_cast<int32_t>(count), read);
    }
  }
  if (read.ok() && !text.has_value()) {
    // No Text interface.
    memo.hasText = false;
    memo.textRead = true;
    return memo.text;
  }
  if (!read.ok()) return memo.text;  // not remembered: failed
  memo.textRead = true;
  memo.hasText = true;
  memo.text = text.value_or(std::string());
  if (roleOf(node, read) == ATSPI_ROLE_TERMINAL) {
    // VTE hands out every row of the screen: the empty rows below the
    // prompt would fill the cursor line. They go; the caret and all before
    // it stay where they are.
    const int caret = caretOffsetOf(node, read).value_or(-1);
    if (read.ok()) {
      const std::string whole = sanitizeUtf8(*memo.text);
      memo.text = std::string(trimTerminalRows(whole, caret));
      // VTE's offsets count code points, and its own count matches neither
      // them nor UTF-16 units of its text: the text's code points stand in.
      memo.characterCount = codePointCount(*memo.text);
    }
  }
  if (needsFlattening(*memo.text)) {
    memo.text = sanitizeUtf8(*memo.text);
    flattenEmbedded(node, memo, read);
  }
  return memo.text;
}

}  // namespace

// A text frame is one text to its reader (a text box of a slide, a cell
// being edited), though each paragraph has its own Text interface: each
// paragraph reads the whole, its paragraphs joined by line feeds.
const std::optional<std::string>& textOf(Node* node, ReadContext& read) {
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
    Node* paragraph = (*paragraphs)[i].get();
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
bool readSelection(Node* node, ReadContext& read, ElementMemo** result) {
  ElementMemo& memo = read.memo(node);
  *result = &memo;
  if (memo.selectionRead) return true;
  if (!hasTextInterface(node, read)) return false;
  // Asked ahead with the element's other details, or now.
  if (!memo.rawSelection.has_value()) {
    fetch(node, kPrefetchSelection, read);
    if (!memo.rawSelection.has_value()) return false;
  }
  const ElementMemo::RawSelection& raw = *memo.rawSelection;
  const int caret = raw.caret;
  const int selections = raw.count;
  const std::optional<bus::TextRange>& range = raw.first;
  if (selections > 0 && range.has_value() && range->start != range->end) {
    memo.selection = std::make_pair(int64_t{range->start}, int64_t{range->end});
  }
  const std::string whole =
      sanitizeUtf8(ownTextOf(node, read).value_or(std::string()));
  // Qt and LibreOffice count offsets in UTF-16 units, GTK and Java in code
  // points; the count against the text tells which, and only a text with a
  // character outside the Basic Multilingual Plane needs asking.
  const bool astral = std::any_of(whole.begin(), whole.end(), [](char byte) {
    return static_cast<unsigned char>(byte) >= 0xF0;
  });
  const int64_t count = astral ? characterCountOf(node, read) : -1;
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

bool hasTextInterface(Node* node, ReadContext& read) {
  ElementMemo& memo = read.memo(node);
  if (!memo.hasText.has_value()) {
    if (memo.textRead) return memo.text.has_value();
    (void)characterCountOf(node, read);
  }
  return memo.hasText.value_or(false);
}

}  // namespace kestreye::atspi
