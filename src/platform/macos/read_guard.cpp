#include "platform/macos/read_guard.h"

#include <array>
#include <string>
#include <variant>

#include "platform/macos/conversions.h"

namespace kestreye::macos {
namespace {

constexpr std::string_view kSubrole = "AXSubrole";
constexpr std::string_view kValue = "AXValue";
constexpr std::string_view kSelectedText = "AXSelectedText";
constexpr std::string_view kSelectedTextRange = "AXSelectedTextRange";

AttributeRead failed(int32_t code) { return AttributeRead{code, std::nullopt}; }

const std::string* textOf(const AttributeRead& read) {
  if (read.code != kAxSuccess || !read.value) return nullptr;
  return std::get_if<std::string>(&read.value->v);
}

bool isSecure(const AttributeRead& subrole) {
  const std::string* text = textOf(subrole);
  return text != nullptr && *text == SECURE_SUBROLE;
}

// One element's reads within one guarded read: after a round trip that
// answers "cannot complete", no further round trip is made. Whether the
// process is hung is for the round trips to tell: only a call that ran out
// its own limit says so.
class Reader {
 public:
  explicit Reader(const ElementReads& reads) : reads_(reads) {}

  bool stopped() const { return stopped_; }

  AttributeRead one(std::string_view attribute) {
    if (stopped_) return failed(kAxCannotComplete);
    AttributeRead read = reads_.one(attribute);
    note(read.code);
    if (stopped_) return failed(kAxCannotComplete);
    return read;
  }

  MultiRead many(std::span<const std::string_view> attributes) {
    if (stopped_) return MultiRead{kAxCannotComplete, {}};
    MultiRead read = reads_.many(attributes);
    note(read.code);
    for (const AttributeRead& each : read.reads) note(each.code);
    if (stopped_) return MultiRead{kAxCannotComplete, {}};
    return read;
  }

 private:
  void note(int32_t code) {
    if (code == kAxCannotComplete) stopped_ = true;
  }

  const ElementReads& reads_;
  bool stopped_ = false;
};

// Whether a combined read failed in a way that a read of one attribute at a
// time might not: anything but an application that no longer answers or an
// element that no longer exists.
bool worthRetryingAlone(const MultiRead& read, size_t expected) {
  if (read.code == kAxSuccess) return read.reads.size() != expected;
  return read.code != kAxCannotComplete && read.code != kAxInvalidElement;
}

// The text attribute read one attribute at a time, the subrole first.
AttributeRead textAlone(Reader& reader, std::string_view attribute) {
  const AttributeRead subrole = reader.one(kSubrole);
  if (reader.stopped()) return failed(kAxCannotComplete);
  if (isSecure(subrole)) return failed(kAxAttributeUnsupported);
  return reader.one(attribute);
}

AttributeRead guardedText(Reader& reader, std::string_view attribute) {
  const std::array<std::string_view, 2> names{kSubrole, attribute};
  MultiRead read = reader.many(names);
  if (worthRetryingAlone(read, names.size()))
    return textAlone(reader, attribute);
  if (read.code != kAxSuccess) return failed(read.code);
  if (isSecure(read.reads[0])) return failed(kAxAttributeUnsupported);
  return std::move(read.reads[1]);
}

// The range with its location and length in characters of `value`'s text;
// unchanged when there is no text to count in (a failed or withheld value, or
// one that is not text), where nobody can place the caret anyway.
AttributeRead inCharacters(AttributeRead range, const AttributeRead& value) {
  if (range.code != kAxSuccess || !range.value) return range;
  const Range* units = std::get_if<Range>(&range.value->v);
  const std::string* text = textOf(value);
  if (units == nullptr || text == nullptr) return range;
  range.value->v = rangeInCharacters(*text, *units);
  return range;
}

AttributeRead guardedRange(Reader& reader) {
  const std::array<std::string_view, 3> names{kSubrole, kValue,
                                              kSelectedTextRange};
  MultiRead read = reader.many(names);
  if (worthRetryingAlone(read, names.size())) {
    AttributeRead range = reader.one(kSelectedTextRange);
    if (range.code != kAxSuccess || !range.value) return range;
    const AttributeRead value = textAlone(reader, kValue);
    if (reader.stopped()) return failed(kAxCannotComplete);
    return inCharacters(std::move(range), value);
  }
  if (read.code != kAxSuccess) return failed(read.code);
  if (isSecure(read.reads[0])) return std::move(read.reads[2]);
  return inCharacters(std::move(read.reads[2]), read.reads[1]);
}

}  // namespace

bool isWithheldWhenSecure(std::string_view attribute) {
  return attribute == kValue || attribute == kSelectedText;
}

AttributeRead guardedRead(const ElementReads& reads, std::optional<int32_t> pid,
                          std::string_view attribute,
                          const UnresponsiveApps& unresponsive) {
  // A hung application costs a whole limit on every read, and a scan makes
  // hundreds of them.
  if (pid && unresponsive.contains(*pid)) return failed(kAxCannotComplete);
  Reader reader(reads);
  if (isWithheldWhenSecure(attribute)) return guardedText(reader, attribute);
  if (attribute == kSelectedTextRange) return guardedRange(reader);
  return reader.one(attribute);
}

}  // namespace kestreye::macos
