#include <algorithm>
#include <utility>
#include <vector>

#include "platform/atspi/atspi_private.h"
#include "platform/atspi/roles.h"
#include "platform/atspi/text_units.h"
#include "text/text.h"

namespace kestreye::atspi {
namespace {

AttributeRead fail(int32_t code) { return AttributeRead{code, std::nullopt}; }
AttributeRead noValue() { return AttributeRead{kAxSuccess, std::nullopt}; }
AttributeRead withValue(RawValue value) {
  return AttributeRead{kAxSuccess, std::move(value)};
}
AttributeRead text(std::string value) {
  return withValue(RawValue{std::move(value)});
}
AttributeRead nonEmptyText(std::string value) {
  // AT-SPI has no absent name: an unnamed element says "".
  return value.empty() ? noValue() : text(std::move(value));
}
AttributeRead number(Number::Kind kind, int64_t integer, double real = 0) {
  Number value;
  value.kind = kind;
  value.integer = integer;
  value.real = real;
  return withValue(RawValue{value});
}
AttributeRead boolean(bool value) {
  return number(Number::Kind::Boolean, value ? 1 : 0);
}
AttributeRead element(NodeRef node) {
  if (node == nullptr) return noValue();
  return withValue(RawValue{Element::adopt(node.release())});
}

// Whether an editable text holds lines: a line break in its text (embedded
// objects put in place), or a paragraph among its embedded objects (an
// editor of one paragraph). Asked of the roles web engines give editors;
// the text is read for the element's value anyway.
bool holdsLines(Node* node, AtspiRole role, ReadContext& read) {
  if (role != ATSPI_ROLE_TEXT && role != ATSPI_ROLE_ENTRY &&
      role != ATSPI_ROLE_SECTION && role != ATSPI_ROLE_PARAGRAPH) {
    return false;
  }
  const std::optional<std::string>& text = textOf(node, read);
  if (!text.has_value()) return false;
  if (text->find('\n') != std::string::npos) return true;
  return std::any_of(
      read.memo(node).embedded.begin(), read.memo(node).embedded.end(),
      [&read](const NodeRef& object) {
        return roleOf(object.get(), read) == ATSPI_ROLE_PARAGRAPH;
      });
}

std::string_view macRoleOf(Node* node, ReadContext& read) {
  const AtspiRole role = roleOf(node, read);
  StateSet states = statesOf(node, read);
  if (!read.ok()) return {};
  if (hasState(states, ATSPI_STATE_DEFUNCT)) {
    read.fail(kAxInvalidElement);
    return {};
  }
  RoleFacts facts = stateFacts(states);
  facts.editableHost = isEditableHost(node, read);
  // The facts below only refine the name; failing to read them fails nothing.
  ReadContext ignored = read.fresh();
  if (NodeRef parent = parentOf(node, ignored)) {
    facts.parentRole = roleOf(parent.get(), ignored);
    facts.unnamedBesideEntry = role == ATSPI_ROLE_TOGGLE_BUTTON &&
                               nameOf(node, ignored).empty() &&
                               comboEntryOf(parent.get(), ignored) != nullptr;
  }
  if (role == ATSPI_ROLE_TOGGLE_BUTTON && !facts.hasPopup) {
    // GTK 3 names a menu button without a label "Menu"; one with a menu
    // (not a pop-over) lists the menu's items as its own children.
    const std::vector<NodeRef>* children = nullptr;
    facts.opensMenu =
        nameOf(node, ignored) == "Menu" ||
        ((children = rawChildrenOf(node, ignored)) != nullptr &&
         !children->empty() &&
         roleOf(children->front().get(), ignored) == ATSPI_ROLE_MENU_ITEM);
  }
  if (role == ATSPI_ROLE_COMBO_BOX) {
    facts.hasEditableTextChild = comboEntryOf(node, ignored) != nullptr;
  }
  if (facts.editable && !facts.multiLine) {
    facts.holdsLines = holdsLines(node, role, ignored);
  }
  return macRoleName(role, facts);
}

// The name of the first label with a size below `node`: GTK 4's drop-down
// keeps an empty "(None)" label of no size beside its chosen item.
std::string shownLabelText(Node* node, int depth, ReadContext& read) {
  constexpr int kMaxDepth = 8;
  const auto* children = childrenOf(node, read);
  if (children == nullptr || depth > kMaxDepth) return std::string();
  for (const NodeRef& child : *children) {
    if (roleOf(child.get(), read) == ATSPI_ROLE_LABEL) {
      const std::optional<Rect>& frame = extentsOf(child.get(), read);
      if (frame.has_value() && frame->width > 0 && frame->height > 0) {
        return nameOf(child.get(), read);
      }
      continue;
    }
    std::string found = shownLabelText(child.get(), depth + 1, read);
    if (!found.empty()) return found;
  }
  return std::string();
}

AttributeRead readValue(Node* node, std::string_view macRole,
                        ReadContext& read) {
  switch (valueSourceFor(macRole)) {
    case ValueSource::None: {
      // A spreadsheet's cell holds its text (LibreOffice names the cell
      // after its address); a tree's cell that only repeats its name (GTK)
      // has no value of its own.
      if (macRole != "AXCell") return fail(kAxAttributeUnsupported);
      const std::optional<std::string>& value = textOf(node, read);
      if (!value.has_value() || *value == nameOf(node, read)) {
        return fail(kAxAttributeUnsupported);
      }
      return text(*value);
    }
    case ValueSource::Text: {
      const std::optional<std::string>& value = textOf(node, read);
      if (value.has_value()) return text(*value);
      if (macRole == "AXStaticText" || macRole == "AXHeading") {
        return nonEmptyText(nameOf(node, read));
      }
      return noValue();
    }
    case ValueSource::Toggle: {
      StateSet states = statesOf(node, read);
      int64_t state = 0;
      if (hasState(states, ATSPI_STATE_INDETERMINATE)) {
        state = 2;
      } else if (hasState(states, ATSPI_STATE_CHECKED) ||
                 hasState(states, ATSPI_STATE_PRESSED)) {
        state = 1;
      }
      return number(Number::Kind::Integer, state);
    }
    case ValueSource::Number: {
      // An element without a Value interface answers with an error.
      const std::optional<double> current =
          read.ask(node, [](bus::Batch& batch, const bus::ObjectRef& ref) {
            return batch.currentValue(ref);
          });
      if (!current.has_value()) {
        return fail(read.ok() ? kAxAttributeUnsupported : read.failure());
      }
      return number(Number::Kind::Real, 0, *current);
    }
    case ValueSource::PopUp: {
      // GTK 3 names a combo box after its chosen item; GTK 4 names its
      // drop-down after its label and shows the item in a label inside; a
      // web select is named after its label, and its chosen option is
      // SELECTED.
      if (NodeRef chosen = chosenItemOf(node, read)) {
        return nonEmptyText(nameOf(chosen.get(), read));
      }
      if (drawsItsOwnButton(node, read)) {
        return nonEmptyText(shownLabelText(node, 0, read));
      }
      return nonEmptyText(nameOf(node, read));
    }
    case ValueSource::ComboEntry: {
      NodeRef entry = comboEntryOf(node, read);
      if (entry == nullptr) return noValue();
      const std::optional<std::string>& value = textOf(entry.get(), read);
      return value.has_value() ? text(*value) : noValue();
    }
  }
  return fail(kAxAttributeUnsupported);
}

}  // namespace

RoleFacts stateFacts(const StateSet& states) {
  RoleFacts facts;
  facts.multiLine = hasState(states, ATSPI_STATE_MULTI_LINE);
  facts.expandable = hasState(states, ATSPI_STATE_EXPANDABLE);
  facts.hasPopup = hasState(states, ATSPI_STATE_HAS_POPUP);
  facts.editable = hasState(states, ATSPI_STATE_EDITABLE);
  return facts;
}

AttributeRead readAttribute(Node* node, std::string_view attribute,
                            Node* desktop, ReadContext& read) {
  // The search for the focus starts with the application's own role, which
  // comes with its snapshot where one is read.
  if ((attribute == "AXFocusedWindow" || attribute == "AXFocusedUIElement") &&
      node->ref.path == bus::ROOT_PATH && readsSnapshot(node, read)) {
    loadSnapshot(node, read);
  }
  const AtspiRole role = roleOf(node, read);
  if (!read.ok()) return fail(read.failure());
  const bool secure = isSecureSubrole(macSubroleName(role));

  if (attribute == "AXRole") {
    const std::string_view name = macRoleOf(node, read);
    return text(std::string(name));
  }
  if (attribute == "AXSubrole") {
    const std::string_view subrole = macSubroleName(role);
    if (subrole.empty()) return fail(kAxAttributeUnsupported);
    return text(std::string(subrole));
  }
  if (attribute == "AXTitle") {
    // GTK and Qt name a pop-up button after its chosen item and Qt names an
    // editable combo box after its text: that is the value. The macOS twins
    // have no title, so that their label shows instead. A web select's name
    // is its label, a title of its own.
    const std::string_view macRole = macRoleOf(node, read);
    std::string name = nameOf(node, read);
    if (macRole == "AXPopUpButton") {
      NodeRef chosen = chosenItemOf(node, read);
      if (chosen == nullptr || nameOf(chosen.get(), read) == name) {
        return noValue();
      }
      return nonEmptyText(std::move(name));
    }
    if (macRole == "AXComboBox") {
      const AttributeRead value = readValue(node, macRole, read);
      if (value.value.has_value() &&
          std::get_if<std::string>(&value.value->v) != nullptr &&
          std::get<std::string>(value.value->v) == name) {
        return noValue();
      }
    }
    return nonEmptyText(std::move(name));
  }
  if (attribute == "AXDescription") {
    return nonEmptyText(descriptionOf(node, read));
  }
  if (attribute == "AXLabel") {
    // A field's label is read first of what describes it; its placeholder,
    // text and selection follow, and the same of the fields beside it, which
    // the form's lines describe next: all are asked with it. A field read
    // ahead asks nothing, and the fields beside it wait for their own reads.
    const unsigned own = fieldReads(node, read);
    if (own != 0 && Riders({{node, own}}, read).needs(node->ref.bus)) {
      std::vector<Wanted> fields;
      for (Node* field : withSiblings(node, read)) {
        if (const unsigned what = fieldReads(field, read)) {
          fields.push_back({field, what});
        }
      }
      Riders(std::move(fields), read).rest();
    }
    const std::optional<std::string>& label = labelOf(node, read);
    return label.has_value() ? text(*label) : noValue();
  }
  if (attribute == "AXValue") {
    // A toolkit may hand out a password ("●●●" from GTK): never pass it on.
    if (secure) return fail(kAxAttributeUnsupported);
    return readValue(node, macRoleOf(node, read), read);
  }
  if (attribute == "AXPlaceholderValue") {
    // Only text fields have placeholders; asking the others costs a call.
    const std::string_view macRole = macRoleOf(node, read);
    if (macRole != "AXTextField" && macRole != "AXTextArea") {
      return fail(kAxAttributeUnsupported);
    }
    // GTK and Firefox say "placeholder-text", Chromium "placeholder".
    std::optional<std::string> placeholder =
        objectAttribute(node, {"placeholder-text", "placeholder"}, read);
    if (placeholder.has_value()) return text(std::move(*placeholder));
    // Qt has no placeholder attribute: a line edit without a description of
    // its own describes itself with its placeholder. Qt answers the toolkit
    // question on its application and windows only.
    if (toolkitOf(applicationRootOf(node, read), read).name == "Qt") {
      return nonEmptyText(descriptionOf(node, read));
    }
    return fail(kAxAttributeUnsupported);
  }
  if (attribute == "AXFocused" || attribute == "AXEnabled" ||
      attribute == "AXSelected") {
    StateSet states = statesOf(node, read);
    if (hasState(states, ATSPI_STATE_DEFUNCT)) {
      return fail(kAxInvalidElement);
    }
    if (attribute == "AXEnabled") {
      // GTK sets SENSITIVE and ENABLED together, GTK 4 only SENSITIVE, and
      // LibreOffice only ENABLED on its document's paragraphs.
      return boolean(hasState(states, ATSPI_STATE_SENSITIVE) ||
                     hasState(states, ATSPI_STATE_ENABLED));
    }
    if (attribute == "AXFocused" && read.memo(node).focusStandIn) {
      return boolean(true);
    }
    return boolean(hasState(states, attribute == "AXFocused"
                                        ? ATSPI_STATE_FOCUSED
                                        : ATSPI_STATE_SELECTED));
  }
  if (attribute == "AXPosition" || attribute == "AXSize") {
    // Nothing that is not SHOWING is on screen; GTK would answer INT_MIN.
    StateSet states = statesOf(node, read);
    if (states.known && !isOnScreen(states)) {
      return noValue();
    }
    const std::optional<Rect>& rect = extentsOf(node, read);
    if (!rect.has_value()) {
      // Links have no Component interface at all.
      return read.memo(node).hasComponent ? noValue()
                                          : fail(kAxAttributeUnsupported);
    }
    if (attribute == "AXPosition") {
      return withValue(RawValue{Point{double(rect->x), double(rect->y)}});
    }
    return withValue(RawValue{Size{double(rect->width), double(rect->height)}});
  }
  if (attribute == "AXSelectedText" || attribute == "AXSelectedTextRange" ||
      attribute == "AXInsertionPointLineNumber") {
    if (secure && attribute == "AXSelectedText") {
      return fail(kAxAttributeUnsupported);
    }
    // GTK buttons and check boxes carry a Text interface for their label;
    // their macOS twins have no selection.
    if (valueSourceFor(macRoleOf(node, read)) != ValueSource::Text) {
      return fail(!read.ok() ? read.failure() : kAxAttributeUnsupported);
    }
    ElementMemo* memo = nullptr;
    if (!readSelection(node, read, &memo)) {
      return !read.ok() ? fail(read.failure()) : fail(kAxAttributeUnsupported);
    }
    const std::optional<std::string>& value = textOf(node, read);
    const std::string whole = sanitizeUtf8(value.value_or(std::string()));
    if (attribute == "AXSelectedText") {
      if (!memo->selection.has_value()) return text(std::string());
      const auto [from, to] = *memo->selection;
      const size_t begin = byteOffsetOfCodePoint(whole, std::min(from, to));
      const size_t end = byteOffsetOfCodePoint(whole, std::max(from, to));
      return text(whole.substr(begin, end - begin));
    }
    if (attribute == "AXSelectedTextRange") {
      if (memo->selection.has_value()) {
        return withValue(RawValue{graphemeRange(whole, memo->selection->first,
                                                memo->selection->second)});
      }
      if (memo->caret < 0) return noValue();
      return withValue(
          RawValue{graphemeRange(whole, memo->caret, memo->caret)});
    }
    if (memo->caret < 0) return noValue();
    return number(Number::Kind::Integer, lineFeedsBefore(whole, memo->caret));
  }
  if (attribute == "AXParent") {
    // An application's parent is the desktop, which macOS does not have.
    if (role == ATSPI_ROLE_APPLICATION) return noValue();
    NodeRef parent = parentOf(node, read);
    if (parent != nullptr && parent.get() == desktop) return noValue();
    return element(std::move(parent));
  }
  if (attribute == "AXChildren") {
    const auto* children = walkedChildrenOf(node, read);
    if (children == nullptr) return fail(read.failure());
    RawArray array;
    array.reserve(children->size());
    for (const NodeRef& child : *children) {
      array.push_back(RawValue{Element::adopt(share(child.get()).release())});
    }
    return withValue(RawValue{std::move(array)});
  }
  if (attribute == "AXFocusedWindow" || attribute == "AXFocusedUIElement") {
    if (role != ATSPI_ROLE_APPLICATION) return fail(kAxAttributeUnsupported);
    if (attribute == "AXFocusedWindow") {
      return element(activeWindowOf(node, read));
    }
    return element(shownFocusOf(node, read));
  }
  return fail(kAxAttributeUnsupported);
}

}  // namespace kestreye::atspi
