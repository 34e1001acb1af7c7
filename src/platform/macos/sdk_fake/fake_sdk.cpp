#include "platform/macos/sdk_fake/fake_sdk.h"

#include <objc/objc.h>
#include <objc/runtime.h>

#include <cstdarg>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <set>

#include "platform/macos/conversions.h"
#include "text/text.h"

namespace kestreye::macos::fake {
namespace {

enum class Kind { String, Boolean, Number, Array, Null, Box, Element };

struct Answer {
  AXError code = kAXErrorSuccess;
  CFTypeRef value = nullptr;
};

struct Object {
  Kind kind = Kind::Null;
  bool byTest = true;  // a test's object lives until the reset
  long refs = 1;
  long baseline = 1;       // a test's object: its references between calls
  std::u16string units{};  // a test's string
  std::string utf8{};      // a string the platform made
  bool direct = false;
  bool isFloat = false;  // Number and Boolean
  int64_t integer = 0;
  double real = 0;
  std::vector<CFTypeRef> entries{};  // Array, each entry retained
  AXValueType boxType = kAXValueTypeIllegal;
  unsigned char bytes[sizeof(CGRect)] = {};
  pid_t pid = 0;  // Element
  AXError combinedCode = kAXErrorSuccess;
  std::map<std::string, Answer> answers{};
  std::vector<std::string> trips{};
};

struct State {
  std::deque<Object> objects;
  std::vector<std::string> faults;
  int madeByPlatform = 0;
  std::set<pid_t> hung;
  std::map<pid_t, AXUIElementRef> applications;
  bool trusted = false;
  pid_t frontmost = 0;
  int openPools = 0;
  std::vector<LogCall> logCalls;
};

State& state() {
  static State instance;
  return instance;
}

template <typename Ref>
Ref as(Object& object) {
  return static_cast<Ref>(static_cast<const void*>(&object));
}

// A new object; one the platform made counts, a test's lives to the reset.
template <typename Ref>
Ref add(Object object) {
  if (!object.byTest) ++state().madeByPlatform;
  return as<Ref>(state().objects.emplace_back(std::move(object)));
}

void fault(std::string what) { state().faults.push_back(std::move(what)); }

// The live object behind a reference, of the expected kind if one is given,
// or null after noting the fault.
Object* lookup(CFTypeRef ref, const char* where,
               std::optional<Kind> kind = std::nullopt) {
  for (Object& object : state().objects) {
    if (&object != ref || object.refs <= 0) continue;
    if (!kind || object.kind == *kind) return &object;
    fault(std::string(where) + ": object of another type");
    return nullptr;
  }
  fault(std::string(where) + ": unknown or freed object");
  return nullptr;
}

void retain(CFTypeRef ref) {
  if (Object* object = lookup(ref, "CFRetain")) ++object->refs;
}

void release(CFTypeRef ref) {
  Object* object = lookup(ref, "CFRelease");
  if (object == nullptr) return;
  if (object->byTest && object->refs <= object->baseline) {
    fault("CFRelease: a test's object released too often");
  } else if (--object->refs == 0) {
    for (CFTypeRef entry : object->entries) release(entry);
  }
}

template <typename Value>
AXValueRef box(AXValueType type, const Value& value, bool byTest = true) {
  Object object{.kind = Kind::Box, .byTest = byTest, .boxType = type};
  std::memcpy(object.bytes, &value, sizeof value);
  return add<AXValueRef>(std::move(object));
}

std::string utf8Of(const Object* string) {
  if (string == nullptr) return "";
  if (!string->byTest) return string->utf8;
  return utf8FromUtf16({reinterpret_cast<const uint16_t*>(string->units.data()),
                        string->units.size()});
}

// Tags whose addresses stand for the Objective-C objects of the fake.
char workspaceClass, shared, frontmost, poolClass, pool;

}  // namespace

void reset() {
  state() = State();
  add<CFTypeRef>({.kind = Kind::Boolean, .integer = 1});  // kCFBooleanTrue
  add<CFTypeRef>({.kind = Kind::Boolean});                // kCFBooleanFalse
  add<CFTypeRef>({.kind = Kind::Null});                   // kCFNull
}

std::vector<std::string> faults() {
  std::vector<std::string> found = state().faults;
  for (const Object& object : state().objects) {
    const std::string name =
        "object of kind " + std::to_string(static_cast<int>(object.kind));
    if (object.byTest && object.refs != object.baseline) {
      found.push_back(name + " (the test's) holds " +
                      std::to_string(object.refs) + " references");
    } else if (!object.byTest && object.refs > 0) {
      found.push_back(name + " (the platform's) was never released");
    }
  }
  if (state().openPools != 0) found.push_back("an autorelease pool is open");
  return found;
}

int objectsMadeByPlatform() { return state().madeByPlatform; }

CFStringRef string(std::u16string units, bool direct) {
  return add<CFStringRef>(
      {.kind = Kind::String, .units = units, .direct = direct});
}

CFBooleanRef boolean(bool value) {
  return as<CFBooleanRef>(state().objects[value ? 0 : 1]);
}

CFNumberRef integer(int64_t value) {
  return add<CFNumberRef>({.kind = Kind::Number, .integer = value});
}

CFNumberRef real(double value) {
  return add<CFNumberRef>(
      {.kind = Kind::Number, .isFloat = true, .real = value});
}

AXValueRef point(double x, double y) {
  return box(kAXValueTypeCGPoint, CGPoint{x, y});
}

AXValueRef size(double w, double h) {
  return box(kAXValueTypeCGSize, CGSize{w, h});
}

AXValueRef rect(double x, double y, double w, double h) {
  return box(kAXValueTypeCGRect, CGRect{{x, y}, {w, h}});
}

AXValueRef range(CFIndex location, CFIndex length) {
  return box(kAXValueTypeCFRange, CFRange{location, length});
}

CFArrayRef array(const std::vector<CFTypeRef>& entries) {
  for (CFTypeRef entry : entries) {
    retain(entry);
    // The test's array keeps this reference for as long as the test runs.
    if (Object* held = lookup(entry, "array")) ++held->baseline;
  }
  return add<CFArrayRef>({.kind = Kind::Array, .entries = entries});
}

CFTypeRef null() { return &state().objects[2]; }

AXUIElementRef element(pid_t pid) {
  return add<AXUIElementRef>({.kind = Kind::Element, .pid = pid});
}

void answer(AXUIElementRef element, const std::string& attribute,
            CFTypeRef value, AXError code) {
  if (Object* object = lookup(element, "answer", Kind::Element)) {
    object->answers[attribute] = Answer{code, value};
  }
}

void failCombined(AXUIElementRef element, AXError code) {
  if (Object* object = lookup(element, "failCombined", Kind::Element)) {
    object->combinedCode = code;
  }
}

void hang(pid_t pid) { state().hung.insert(pid); }

std::vector<std::string> trips(AXUIElementRef element) {
  Object* object = lookup(element, "trips", Kind::Element);
  return object == nullptr ? std::vector<std::string>{} : object->trips;
}

void setApplication(pid_t pid, AXUIElementRef element) {
  state().applications[pid] = element;
}

void setTrusted(bool trusted) { state().trusted = trusted; }

void setFrontmost(pid_t pid) { state().frontmost = pid; }

const std::vector<LogCall>& logCalls() { return state().logCalls; }

}  // namespace kestreye::macos::fake

// The SDK's functions, over the fake's objects.
namespace fake = kestreye::macos::fake;
using fake::Kind;
using fake::lookup;
using fake::Object;

const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFArrayCallBacks kCFTypeArrayCallBacks = {0, nullptr, nullptr, nullptr,
                                                nullptr};

extern "C" {

CFTypeRef CFRetain(CFTypeRef cf) {
  fake::retain(cf);
  return cf;
}

void CFRelease(CFTypeRef cf) { fake::release(cf); }

CFTypeID CFGetTypeID(CFTypeRef cf) {
  const Object* object = lookup(cf, "CFGetTypeID");
  return object == nullptr ? 0 : 100 + static_cast<CFTypeID>(object->kind);
}

CFTypeID CFNullGetTypeID(void) { return 100 + CFTypeID(Kind::Null); }
CFTypeID CFStringGetTypeID(void) { return 100 + CFTypeID(Kind::String); }
CFTypeID CFBooleanGetTypeID(void) { return 100 + CFTypeID(Kind::Boolean); }
CFTypeID CFNumberGetTypeID(void) { return 100 + CFTypeID(Kind::Number); }
CFTypeID CFArrayGetTypeID(void) { return 100 + CFTypeID(Kind::Array); }
CFTypeID AXValueGetTypeID(void) { return 100 + CFTypeID(Kind::Box); }
CFTypeID AXUIElementGetTypeID(void) { return 100 + CFTypeID(Kind::Element); }

// Refuses ill-formed UTF-8 outright, as the real one does.
CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes,
                                    CFIndex size, CFStringEncoding, Boolean) {
  const std::string utf8(reinterpret_cast<const char*>(bytes), size_t(size));
  if (!kestreye::isValidUtf8(utf8)) return nullptr;
  return fake::add<CFStringRef>(
      {.kind = Kind::String, .byTest = false, .utf8 = utf8});
}

CFIndex CFStringGetLength(CFStringRef string) {
  const Object* object = lookup(string, "CFStringGetLength", Kind::String);
  return object == nullptr ? 0 : static_cast<CFIndex>(object->units.size());
}

const UniChar* CFStringGetCharactersPtr(CFStringRef string) {
  const Object* object = lookup(string, "GetCharactersPtr", Kind::String);
  if (object == nullptr || !object->direct) return nullptr;
  return reinterpret_cast<const UniChar*>(object->units.data());
}

void CFStringGetCharacters(CFStringRef string, CFRange range, UniChar* out) {
  const Object* object = lookup(string, "GetCharacters", Kind::String);
  if (object == nullptr || range.location < 0 || range.length < 0 ||
      size_t(range.location + range.length) > object->units.size()) {
    fake::fault("CFStringGetCharacters: range outside");
    return;
  }
  std::memcpy(out, object->units.data() + range.location,
              static_cast<size_t>(range.length) * sizeof(UniChar));
}

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
  const Object* object = lookup(boolean, "CFBooleanGetValue", Kind::Boolean);
  return object != nullptr && object->integer != 0;
}

Boolean CFNumberIsFloatType(CFNumberRef number) {
  const Object* object = lookup(number, "CFNumberIsFloatType", Kind::Number);
  return object != nullptr && object->isFloat;
}

// Converts as the real one does, answering false for a lossy conversion.
Boolean CFNumberGetValue(CFNumberRef number, CFNumberType type, void* out) {
  const Object* object = lookup(number, "CFNumberGetValue", Kind::Number);
  if (object == nullptr) return false;
  if (type == kCFNumberDoubleType) {
    const double value = object->isFloat ? object->real : object->integer;
    std::memcpy(out, &value, sizeof value);
    return true;
  }
  const auto value = object->isFloat ? int64_t(object->real) : object->integer;
  std::memcpy(out, &value, sizeof value);
  return type == kCFNumberSInt64Type && !object->isFloat;
}

CFArrayRef CFArrayCreate(CFAllocatorRef, const void** values, CFIndex count,
                         const CFArrayCallBacks* callBacks) {
  if (callBacks != &kCFTypeArrayCallBacks) {
    fake::fault("CFArrayCreate: entries not retained");
  }
  for (CFIndex i = 0; i < count; ++i) fake::retain(values[i]);
  return fake::add<CFArrayRef>(
      {.kind = Kind::Array,
       .byTest = false,
       .entries = std::vector<CFTypeRef>(values, values + count)});
}

CFIndex CFArrayGetCount(CFArrayRef array) {
  const Object* object = lookup(array, "CFArrayGetCount", Kind::Array);
  return object == nullptr ? 0 : static_cast<CFIndex>(object->entries.size());
}

const void* CFArrayGetValueAtIndex(CFArrayRef array, CFIndex index) {
  const Object* object = lookup(array, "GetValueAtIndex", Kind::Array);
  if (object == nullptr || index < 0 ||
      size_t(index) >= object->entries.size()) {
    fake::fault("CFArrayGetValueAtIndex: index outside");
    return nullptr;
  }
  return object->entries[static_cast<size_t>(index)];
}

AXValueType AXValueGetType(AXValueRef value) {
  const Object* object = lookup(value, "AXValueGetType", Kind::Box);
  return object == nullptr ? kAXValueTypeIllegal : object->boxType;
}

// Copies out only as the type the value holds, as the real one does.
Boolean AXValueGetValue(AXValueRef value, AXValueType type, void* out) {
  const Object* object = lookup(value, "AXValueGetValue", Kind::Box);
  if (object == nullptr || object->boxType != type) return false;
  std::memcpy(out, object->bytes,
              type == kAXValueTypeCGPoint   ? sizeof(CGPoint)
              : type == kAXValueTypeCGSize  ? sizeof(CGSize)
              : type == kAXValueTypeCGRect  ? sizeof(CGRect)
              : type == kAXValueTypeCFRange ? sizeof(CFRange)
                                            : sizeof(AXError));
  return true;
}

Boolean AXIsProcessTrusted(void) { return fake::state().trusted; }

AXUIElementRef AXUIElementCreateApplication(pid_t pid) {
  if (fake::state().applications.count(pid) != 0) {
    return static_cast<AXUIElementRef>(
        CFRetain(fake::state().applications[pid]));
  }
  return fake::add<AXUIElementRef>(
      {.kind = Kind::Element, .byTest = false, .pid = pid});
}

AXError AXUIElementGetPid(AXUIElementRef element, pid_t* pid) {
  const Object* object = lookup(element, "GetPid", Kind::Element);
  if (object == nullptr) return kAXErrorInvalidUIElement;
  *pid = object->pid;
  return kAXErrorSuccess;
}

AXError AXUIElementCopyAttributeValue(AXUIElementRef element,
                                      CFStringRef attribute, CFTypeRef* value) {
  Object* object = lookup(element, "CopyAttributeValue", Kind::Element);
  if (object == nullptr) return kAXErrorIllegalArgument;
  object->trips.push_back(
      fake::utf8Of(lookup(attribute, "CopyAttributeValue", Kind::String)));
  if (fake::state().hung.count(object->pid) != 0) return kAXErrorCannotComplete;
  const auto it = object->answers.find(object->trips.back());
  if (it == object->answers.end()) return kAXErrorAttributeUnsupported;
  if (it->second.value != nullptr) fake::retain(it->second.value);
  *value = it->second.value;
  return it->second.code;
}

// Each position holds the value, or kCFNull, or (options 0) an AXValue of
// type kAXValueTypeAXError with the attribute's error.
AXError AXUIElementCopyMultipleAttributeValues(
    AXUIElementRef element, CFArrayRef attributes,
    AXCopyMultipleAttributeOptions options, CFArrayRef* values) {
  Object* object = lookup(element, "CopyMultiple", Kind::Element);
  const Object* names = lookup(attributes, "CopyMultiple", Kind::Array);
  if (object == nullptr || names == nullptr) return kAXErrorIllegalArgument;
  if (options != 0) fake::fault("CopyMultiple: options");
  std::vector<std::string> keys;
  std::string trip;
  for (CFTypeRef entry : names->entries) {
    keys.push_back(fake::utf8Of(lookup(entry, "CopyMultiple", Kind::String)));
    trip += (trip.empty() ? "" : "+") + keys.back();
  }
  object->trips.push_back(trip);
  if (fake::state().hung.count(object->pid) != 0) return kAXErrorCannotComplete;
  if (object->combinedCode != kAXErrorSuccess) return object->combinedCode;
  std::vector<CFTypeRef> entries;
  for (const std::string& key : keys) {
    fake::Answer found{kAXErrorAttributeUnsupported};
    if (object->answers.count(key) != 0) found = object->answers[key];
    if (found.code != kAXErrorSuccess) {
      entries.push_back(fake::box(kAXValueTypeAXError, found.code, false));
    } else {
      entries.push_back(CFRetain(found.value ? found.value : fake::null()));
    }
  }
  *values = fake::add<CFArrayRef>(
      {.kind = Kind::Array, .byTest = false, .entries = entries});
  return kAXErrorSuccess;
}

Class objc_getClass(const char* name) {
  const std::string wanted = name;
  char* found = wanted == "NSWorkspace"         ? &fake::workspaceClass
                : wanted == "NSAutoreleasePool" ? &fake::poolClass
                                                : nullptr;
  return reinterpret_cast<Class>(found);
}

SEL sel_registerName(const char* str) {
  static std::set<std::string> names;
  return reinterpret_cast<SEL>(
      const_cast<std::string*>(&*names.insert(str).first));
}

// Called by the C trampoline in fake_objc.c, which stands in for
// objc_msgSend: every method of the fake answers a pointer-sized value.
void* kestreye_fake_objc_dispatch(void* self, void* selector) {
  const std::string& name = *static_cast<const std::string*>(selector);
  fake::State& s = fake::state();
  const auto is = [&](char& receiver, const char* message) {
    return self == &receiver && name == message;
  };
  if (is(fake::workspaceClass, "sharedWorkspace")) return &fake::shared;
  if (is(fake::shared, "frontmostApplication")) return &fake::frontmost;
  if (is(fake::frontmost, "processIdentifier")) {
    return reinterpret_cast<void*>(intptr_t(s.frontmost));
  }
  if (is(fake::poolClass, "alloc")) return &fake::pool;
  if (is(fake::pool, "init")) {
    ++s.openPools;
    return &fake::pool;
  }
  if (is(fake::pool, "drain")) {
    --s.openPools;
    return nullptr;
  }
  fake::fault("message the fake does not know: " + name);
  return nullptr;
}

void NSLog(CFStringRef format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const void* first = va_arg(arguments, const void*);
  va_end(arguments);
  fake::state().logCalls.push_back(
      fake::LogCall{fake::utf8Of(lookup(format, "NSLog", Kind::String)),
                    fake::utf8Of(lookup(first, "NSLog", Kind::String)),
                    fake::state().openPools > 0});
}

}  // extern "C"
