#include "platform/macos/cf_values.h"

#include <span>
#include <vector>

#include "platform/macos/conversions.h"

namespace kestreye::macos {
namespace {

// Arrays of arrays are legal CoreFoundation, and a value comes from another
// process: bound the recursion instead of trusting the sender's nesting.
constexpr int kMaxArrayDepth = 32;

RawValue unreadable() { return RawValue{Rect{}}; }

RawValue numberValue(CFNumberRef number) {
  if (CFNumberIsFloatType(number)) {
    double real = 0;
    CFNumberGetValue(number, kCFNumberDoubleType, &real);
    return RawValue{numberFromReal(real)};
  }
  // A value outside the signed 64-bit range makes CFNumberGetValue answer
  // false, having stored the clamped value: that is the reading we want.
  SInt64 integer = 0;
  CFNumberGetValue(number, kCFNumberSInt64Type, &integer);
  return RawValue{numberFromInteger(static_cast<int64_t>(integer))};
}

RawValue boxedValue(AXValueRef boxed) {
  // AXValueGetValue answers false when the stored type differs; the
  // members are read only after it has said yes.
  switch (AXValueGetType(boxed)) {
    case kAXValueTypeCGPoint: {
      CGPoint point{};
      if (!AXValueGetValue(boxed, kAXValueTypeCGPoint, &point)) break;
      return RawValue{
          Point{static_cast<double>(point.x), static_cast<double>(point.y)}};
    }
    case kAXValueTypeCGSize: {
      CGSize size{};
      if (!AXValueGetValue(boxed, kAXValueTypeCGSize, &size)) break;
      return RawValue{Size{static_cast<double>(size.width),
                           static_cast<double>(size.height)}};
    }
    case kAXValueTypeCFRange: {
      CFRange range{};
      if (!AXValueGetValue(boxed, kAXValueTypeCFRange, &range)) break;
      return RawValue{Range{static_cast<int64_t>(range.location),
                            static_cast<int64_t>(range.length)}};
    }
    case kAXValueTypeCGRect: {
      CGRect rect{};
      if (!AXValueGetValue(boxed, kAXValueTypeCGRect, &rect)) break;
      return RawValue{Rect{static_cast<double>(rect.origin.x),
                           static_cast<double>(rect.origin.y),
                           static_cast<double>(rect.size.width),
                           static_cast<double>(rect.size.height)}};
    }
    default:
      break;
  }
  return unreadable();
}

RawValue valueAt(CFTypeRef value, int depth);

RawValue arrayValue(CFArrayRef array, int depth) {
  RawArray entries;
  if (depth >= kMaxArrayDepth) return unreadable();
  const CFIndex count = CFArrayGetCount(array);
  if (count > 0) entries.reserve(static_cast<size_t>(count));
  for (CFIndex i = 0; i < count; ++i) {
    // Not owned: the array keeps its entries alive while we convert them.
    const void* entry = CFArrayGetValueAtIndex(array, i);
    entries.push_back(entry == nullptr ? unreadable()
                                       : valueAt(entry, depth + 1));
  }
  return RawValue{std::move(entries)};
}

RawValue valueAt(CFTypeRef value, int depth) {
  const CFTypeID type = CFGetTypeID(value);
  if (type == CFStringGetTypeID()) {
    return RawValue{utf8FromCfString(static_cast<CFStringRef>(value))};
  }
  // CFBoolean and CFNumber both bridge to NSNumber, and a Boolean would also
  // answer some of the CFNumber calls: its own type id is tested first.
  if (type == CFBooleanGetTypeID()) {
    return RawValue{numberFromBoolean(
        CFBooleanGetValue(static_cast<CFBooleanRef>(value)) != 0)};
  }
  if (type == CFNumberGetTypeID()) {
    return numberValue(static_cast<CFNumberRef>(value));
  }
  if (type == AXValueGetTypeID()) {
    return boxedValue(static_cast<AXValueRef>(value));
  }
  if (type == CFArrayGetTypeID()) {
    return arrayValue(static_cast<CFArrayRef>(value), depth);
  }
  if (type == AXUIElementGetTypeID()) {
    // The handle takes its own reference; whoever copied `value` still
    // releases theirs.
    CFRetain(value);
    return RawValue{Element::adopt(const_cast<void*>(value))};
  }
  return unreadable();
}

}  // namespace

CfOwned cfStringFromUtf8(std::string_view utf8) {
  return CfOwned(CFStringCreateWithBytes(
      kCFAllocatorDefault, reinterpret_cast<const UInt8*>(utf8.data()),
      static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8, false));
}

std::string utf8FromCfString(CFStringRef string) {
  const CFIndex length = CFStringGetLength(string);
  if (length <= 0) return std::string();
  const auto count = static_cast<size_t>(length);
  // The direct pointer exists only for strings stored as UTF-16; the copy
  // below serves every other storage.
  if (const UniChar* direct = CFStringGetCharactersPtr(string)) {
    return utf8FromUtf16(std::span<const uint16_t>(direct, count));
  }
  // CFStringGetBytes would stop at an unpaired surrogate (the strict UTF-8
  // conversion refuses it), so the units are decoded here instead.
  std::vector<UniChar> units(count);
  const CFRange whole = {0, length};
  CFStringGetCharacters(string, whole, units.data());
  return utf8FromUtf16(std::span<const uint16_t>(units.data(), count));
}

RawValue rawValueFromCf(CFTypeRef value) { return valueAt(value, 0); }

AttributeRead readFromMultipleEntry(CFTypeRef entry) {
  if (entry == nullptr || CFGetTypeID(entry) == CFNullGetTypeID()) {
    return AttributeRead{kAxNoValue, std::nullopt};
  }
  if (CFGetTypeID(entry) == AXValueGetTypeID()) {
    const auto boxed = static_cast<AXValueRef>(entry);
    if (AXValueGetType(boxed) == kAXValueTypeAXError) {
      AXError error = kAXErrorFailure;
      if (!AXValueGetValue(boxed, kAXValueTypeAXError, &error) ||
          error == kAXErrorSuccess) {
        error = kAXErrorNoValue;  // a boxed "success" carries no value either
      }
      return AttributeRead{static_cast<int32_t>(error), std::nullopt};
    }
  }
  return AttributeRead{kAxSuccess, rawValueFromCf(entry)};
}

}  // namespace kestreye::macos
