#include "platform/macos/sdk_fake/fake_sdk.h"

#include <objc/objc.h>
#include <objc/runtime.h>

#include <cstdarg>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <unordered_map>

#include "text/text.h"

namespace kestreye::macos::fake {
namespace {

enum class Kind {
  String,
  Boolean,
  Number,
  Array,
  Null,
  AxValue,
  Element,
  Other
};

// Type ids as CFGetTypeID reports them; any distinct numbers do.
CFTypeID typeIdOf(Kind kind) { return 100 + static_cast<CFTypeID>(kind); }

struct Answer {
  AXError code = kAXErrorSuccess;
  CFTypeRef value = nullptr;
};

struct Object {
  Kind kind = Kind::Other;
  long refs = 1;
  bool byTest = false;  // made by a test: lives until reset
  long baseline = 1;    // a test's object: its references between calls
  bool dead = false;
  // String
  std::vector<UniChar> units;
  bool direct = false;
  // Boolean
  bool boolean = false;
  // Number
  bool isFloat = false;
  int64_t integer = 0;
  double real = 0;
  // Array: the entries, each retained by the array
  std::vector<CFTypeRef> entries;
  // AXValue
  AXValueType valueType = kAXValueTypeIllegal;
  unsigned char bytes[sizeof(CGRect)] = {};
  // Element
  pid_t pid = 0;
  bool pidHidden = false;
  AXError combinedCode = kAXErrorSuccess;
  std::map<std::string, Answer> answers;
  std::vector<std::string> trips;
};

struct State {
  std::vector<std::unique_ptr<Object>> objects;
  std::unordered_map<const void*, Object*> known;
  std::vector<std::string> misuses;
  int madeByPlatform = 0;
  Object* trueObject = nullptr;
  Object* falseObject = nullptr;
  Object* nullObject = nullptr;
  std::set<pid_t> hung;
  std::map<pid_t, AXUIElementRef> applications;
  bool trusted = false;
  Workspace workspace;
  int openPools = 0;
  int drainedPools = 0;
  std::vector<std::string> strayMessages;
  std::vector<LogCall> logCalls;
};

State& state() {
  static State instance;
  return instance;
}

Object* make(Kind kind, bool byTest) {
  auto object = std::make_unique<Object>();
  object->kind = kind;
  object->byTest = byTest;
  Object* raw = object.get();
  state().objects.push_back(std::move(object));
  state().known.emplace(raw, raw);
  if (!byTest) ++state().madeByPlatform;
  return raw;
}

// The live object behind a reference, or null after noting the misuse.
Object* lookup(CFTypeRef ref, const char* where) {
  const auto it = state().known.find(ref);
  if (it == state().known.end()) {
    state().misuses.push_back(std::string(where) + ": unknown object");
    return nullptr;
  }
  if (it->second->dead) {
    state().misuses.push_back(std::string(where) + ": object already freed");
    return nullptr;
  }
  return it->second;
}

Object* lookupKind(CFTypeRef ref, Kind kind, const char* where) {
  Object* object = lookup(ref, where);
  if (object != nullptr && object->kind != kind) {
    state().misuses.push_back(std::string(where) + ": object of another type");
    return nullptr;
  }
  return object;
}

void retainRef(CFTypeRef ref) {
  if (Object* object = lookup(ref, "CFRetain")) ++object->refs;
}

void releaseRef(CFTypeRef ref) {
  Object* object = lookup(ref, "CFRelease");
  if (object == nullptr) return;
  --object->refs;
  if (object->byTest && object->refs < object->baseline) {
    state().misuses.push_back("CFRelease: a test's object released too often");
  }
  if (object->refs > 0 || object->byTest) return;
  object->dead = true;
  for (CFTypeRef entry : object->entries) releaseRef(entry);
}

AXValueRef boxed(AXValueType type, const void* data, size_t size, bool byTest) {
  Object* object = make(Kind::AxValue, byTest);
  object->valueType = type;
  std::memcpy(object->bytes, data, size);
  return static_cast<AXValueRef>(static_cast<const void*>(object));
}

std::string utf8Of(const Object& string) {
  std::string out;
  for (size_t i = 0; i < string.units.size(); ++i) {
    char32_t cp = string.units[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < string.units.size() &&
        string.units[i + 1] >= 0xDC00 && string.units[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (string.units[i + 1] - 0xDC00);
      ++i;
    }
    kestreye::appendUtf8(out, cp);
  }
  return out;
}

// Strict UTF-8 to UTF-16, as CFStringCreateWithBytes does it: false on any
// ill-formed sequence, surrogates and overlong forms included.
bool utf16Of(const UInt8* bytes, CFIndex size, std::vector<UniChar>& out) {
  CFIndex i = 0;
  while (i < size) {
    const UInt8 lead = bytes[i];
    int length = 0;
    char32_t cp = 0;
    if (lead < 0x80) {
      length = 1;
      cp = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      cp = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > size) return false;
    for (int k = 1; k < length; ++k) {
      const UInt8 next = bytes[i + k];
      if ((next & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (next & 0x3F);
    }
    if ((length == 3 && cp < 0x800) || (length == 4 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    if (cp >= 0x10000) {
      out.push_back(static_cast<UniChar>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<UniChar>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<UniChar>(cp));
    }
    i += length;
  }
  return true;
}

Object* elementOf(AXUIElementRef ref, const char* where) {
  return lookupKind(ref, Kind::Element, where);
}

// Tags whose addresses stand for the Objective-C objects of the fake.
char workspaceClassTag, workspaceTag, applicationTag, poolClassTag, poolTag;

id objectFor(char& tag) { return reinterpret_cast<id>(&tag); }

}  // namespace

void reset() {
  State& s = state();
  s = State();
  s.trueObject = make(Kind::Boolean, true);
  s.trueObject->boolean = true;
  s.falseObject = make(Kind::Boolean, true);
  s.nullObject = make(Kind::Null, true);
}

std::vector<std::string> misuses() { return state().misuses; }

std::vector<std::string> imbalances() {
  std::vector<std::string> found;
  int index = 0;
  for (const auto& object : state().objects) {
    const std::string name = "object " + std::to_string(index++) + " of kind " +
                             std::to_string(static_cast<int>(object->kind));
    if (object->byTest && object->refs != object->baseline) {
      found.push_back(name + " (the test's) holds " +
                      std::to_string(object->refs) + " references");
    } else if (!object->byTest && !object->dead) {
      found.push_back(name + " (the platform's) was never released");
    }
  }
  return found;
}

int objectsMadeByPlatform() { return state().madeByPlatform; }

CFStringRef string(std::u16string units, bool direct) {
  Object* object = make(Kind::String, true);
  object->units.assign(units.begin(), units.end());
  object->direct = direct;
  return static_cast<CFStringRef>(static_cast<const void*>(object));
}

CFBooleanRef boolean(bool value) {
  Object* object = value ? state().trueObject : state().falseObject;
  return static_cast<CFBooleanRef>(static_cast<const void*>(object));
}

CFNumberRef integer(int64_t value) {
  Object* object = make(Kind::Number, true);
  object->integer = value;
  return static_cast<CFNumberRef>(static_cast<const void*>(object));
}

CFNumberRef real(double value) {
  Object* object = make(Kind::Number, true);
  object->isFloat = true;
  object->real = value;
  return static_cast<CFNumberRef>(static_cast<const void*>(object));
}

AXValueRef point(double x, double y) {
  const CGPoint value{x, y};
  return boxed(kAXValueTypeCGPoint, &value, sizeof value, true);
}

AXValueRef size(double w, double h) {
  const CGSize value{w, h};
  return boxed(kAXValueTypeCGSize, &value, sizeof value, true);
}

AXValueRef rect(double x, double y, double w, double h) {
  const CGRect value{{x, y}, {w, h}};
  return boxed(kAXValueTypeCGRect, &value, sizeof value, true);
}

AXValueRef range(CFIndex location, CFIndex length) {
  const CFRange value{location, length};
  return boxed(kAXValueTypeCFRange, &value, sizeof value, true);
}

CFArrayRef array(const std::vector<CFTypeRef>& entries) {
  Object* object = make(Kind::Array, true);
  for (CFTypeRef entry : entries) {
    retainRef(entry);
    // The test's array keeps this reference for as long as the test runs.
    if (Object* held = lookup(entry, "array")) ++held->baseline;
    object->entries.push_back(entry);
  }
  return static_cast<CFArrayRef>(static_cast<const void*>(object));
}

CFTypeRef null() { return state().nullObject; }

CFTypeRef other() { return make(Kind::Other, true); }

AXUIElementRef element(pid_t pid) {
  Object* object = make(Kind::Element, true);
  object->pid = pid;
  return static_cast<AXUIElementRef>(static_cast<const void*>(object));
}

void answer(AXUIElementRef element, const std::string& attribute,
            CFTypeRef value) {
  if (Object* object = elementOf(element, "answer")) {
    object->answers[attribute] = Answer{kAXErrorSuccess, value};
  }
}

void fail(AXUIElementRef element, const std::string& attribute, AXError code,
          CFTypeRef leftBehind) {
  if (Object* object = elementOf(element, "fail")) {
    object->answers[attribute] = Answer{code, leftBehind};
  }
}

void failCombined(AXUIElementRef element, AXError code) {
  if (Object* object = elementOf(element, "failCombined")) {
    object->combinedCode = code;
  }
}

void hang(pid_t pid) { state().hung.insert(pid); }

void hidePid(AXUIElementRef element) {
  if (Object* object = elementOf(element, "hidePid")) object->pidHidden = true;
}

std::vector<std::string> trips(AXUIElementRef element) {
  Object* object = elementOf(element, "trips");
  return object == nullptr ? std::vector<std::string>{} : object->trips;
}

int tripsTo(pid_t pid) {
  int count = 0;
  for (const auto& object : state().objects) {
    if (object->kind == Kind::Element && object->pid == pid) {
      count += static_cast<int>(object->trips.size());
    }
  }
  return count;
}

void setApplication(pid_t pid, AXUIElementRef element) {
  state().applications[pid] = element;
}

void setTrusted(bool trusted) { state().trusted = trusted; }

Workspace& workspace() { return state().workspace; }

int openPools() { return state().openPools; }

int drainedPools() { return state().drainedPools; }

std::vector<std::string> strayMessages() { return state().strayMessages; }

const std::vector<LogCall>& logCalls() { return state().logCalls; }

}  // namespace kestreye::macos::fake

// The SDK's functions, over the fake's objects.
using kestreye::macos::fake::Answer;
using kestreye::macos::fake::Kind;
using kestreye::macos::fake::Object;
namespace fake = kestreye::macos::fake;

const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFArrayCallBacks kCFTypeArrayCallBacks = {0, nullptr, nullptr, nullptr,
                                                nullptr};

extern "C" {

CFTypeRef CFRetain(CFTypeRef cf) {
  fake::retainRef(cf);
  return cf;
}

void CFRelease(CFTypeRef cf) { fake::releaseRef(cf); }

CFTypeID CFGetTypeID(CFTypeRef cf) {
  Object* object = fake::lookup(cf, "CFGetTypeID");
  return object == nullptr ? 0 : fake::typeIdOf(object->kind);
}

CFTypeID CFNullGetTypeID(void) { return fake::typeIdOf(Kind::Null); }
CFTypeID CFStringGetTypeID(void) { return fake::typeIdOf(Kind::String); }
CFTypeID CFBooleanGetTypeID(void) { return fake::typeIdOf(Kind::Boolean); }
CFTypeID CFNumberGetTypeID(void) { return fake::typeIdOf(Kind::Number); }
CFTypeID CFArrayGetTypeID(void) { return fake::typeIdOf(Kind::Array); }
CFTypeID AXValueGetTypeID(void) { return fake::typeIdOf(Kind::AxValue); }
CFTypeID AXUIElementGetTypeID(void) { return fake::typeIdOf(Kind::Element); }

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes,
                                    CFIndex numBytes, CFStringEncoding encoding,
                                    Boolean isExternalRepresentation) {
  if (encoding != kCFStringEncodingUTF8 || isExternalRepresentation) {
    fake::state().misuses.push_back("CFStringCreateWithBytes: unexpected mode");
    return nullptr;
  }
  std::vector<UniChar> units;
  if (!fake::utf16Of(bytes, numBytes, units)) return nullptr;
  Object* object = fake::make(Kind::String, false);
  object->units = std::move(units);
  return static_cast<CFStringRef>(static_cast<const void*>(object));
}

CFIndex CFStringGetLength(CFStringRef theString) {
  Object* object =
      fake::lookupKind(theString, Kind::String, "CFStringGetLength");
  return object == nullptr ? 0 : static_cast<CFIndex>(object->units.size());
}

const UniChar* CFStringGetCharactersPtr(CFStringRef theString) {
  Object* object =
      fake::lookupKind(theString, Kind::String, "CFStringGetCharactersPtr");
  if (object == nullptr || !object->direct) return nullptr;
  return object->units.data();
}

void CFStringGetCharacters(CFStringRef theString, CFRange range,
                           UniChar* buffer) {
  Object* object =
      fake::lookupKind(theString, Kind::String, "CFStringGetCharacters");
  if (object == nullptr) return;
  if (range.location < 0 || range.length < 0 ||
      range.location + range.length >
          static_cast<CFIndex>(object->units.size())) {
    fake::state().misuses.push_back("CFStringGetCharacters: range outside");
    return;
  }
  std::memcpy(buffer, object->units.data() + range.location,
              static_cast<size_t>(range.length) * sizeof(UniChar));
}

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
  Object* object =
      fake::lookupKind(boolean, Kind::Boolean, "CFBooleanGetValue");
  return object != nullptr && object->boolean;
}

Boolean CFNumberIsFloatType(CFNumberRef number) {
  Object* object =
      fake::lookupKind(number, Kind::Number, "CFNumberIsFloatType");
  return object != nullptr && object->isFloat;
}

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType,
                         void* valuePtr) {
  Object* object = fake::lookupKind(number, Kind::Number, "CFNumberGetValue");
  if (object == nullptr) return false;
  if (theType == kCFNumberSInt64Type) {
    const int64_t value =
        object->isFloat ? static_cast<int64_t>(object->real) : object->integer;
    std::memcpy(valuePtr, &value, sizeof value);
    return !object->isFloat;
  }
  if (theType == kCFNumberDoubleType) {
    const double value =
        object->isFloat ? object->real : static_cast<double>(object->integer);
    std::memcpy(valuePtr, &value, sizeof value);
    return true;
  }
  fake::state().misuses.push_back("CFNumberGetValue: unexpected type");
  return false;
}

CFArrayRef CFArrayCreate(CFAllocatorRef, const void** values, CFIndex numValues,
                         const CFArrayCallBacks* callBacks) {
  if (callBacks != &kCFTypeArrayCallBacks) {
    fake::state().misuses.push_back("CFArrayCreate: not kCFTypeArrayCallBacks");
  }
  Object* object = fake::make(Kind::Array, false);
  for (CFIndex i = 0; i < numValues; ++i) {
    fake::retainRef(values[i]);
    object->entries.push_back(values[i]);
  }
  return static_cast<CFArrayRef>(static_cast<const void*>(object));
}

CFIndex CFArrayGetCount(CFArrayRef theArray) {
  Object* object = fake::lookupKind(theArray, Kind::Array, "CFArrayGetCount");
  return object == nullptr ? 0 : static_cast<CFIndex>(object->entries.size());
}

const void* CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) {
  Object* object =
      fake::lookupKind(theArray, Kind::Array, "CFArrayGetValueAtIndex");
  if (object == nullptr) return nullptr;
  if (idx < 0 || idx >= static_cast<CFIndex>(object->entries.size())) {
    fake::state().misuses.push_back("CFArrayGetValueAtIndex: index outside");
    return nullptr;
  }
  return object->entries[static_cast<size_t>(idx)];
}

AXValueType AXValueGetType(AXValueRef value) {
  Object* object = fake::lookupKind(value, Kind::AxValue, "AXValueGetType");
  return object == nullptr ? kAXValueTypeIllegal : object->valueType;
}

Boolean AXValueGetValue(AXValueRef value, AXValueType theType, void* valuePtr) {
  Object* object = fake::lookupKind(value, Kind::AxValue, "AXValueGetValue");
  if (object == nullptr || object->valueType != theType) return false;
  size_t size = 0;
  switch (theType) {
    case kAXValueTypeCGPoint:
      size = sizeof(CGPoint);
      break;
    case kAXValueTypeCGSize:
      size = sizeof(CGSize);
      break;
    case kAXValueTypeCGRect:
      size = sizeof(CGRect);
      break;
    case kAXValueTypeCFRange:
      size = sizeof(CFRange);
      break;
    case kAXValueTypeAXError:
      size = sizeof(AXError);
      break;
    default:
      return false;
  }
  std::memcpy(valuePtr, object->bytes, size);
  return true;
}

Boolean AXIsProcessTrusted(void) { return fake::state().trusted; }

AXUIElementRef AXUIElementCreateApplication(pid_t pid) {
  const auto it = fake::state().applications.find(pid);
  if (it != fake::state().applications.end()) {
    fake::retainRef(it->second);
    return it->second;
  }
  Object* object = fake::make(Kind::Element, false);
  object->pid = pid;
  return static_cast<AXUIElementRef>(static_cast<const void*>(object));
}

AXError AXUIElementGetPid(AXUIElementRef element, pid_t* pid) {
  Object* object = fake::elementOf(element, "AXUIElementGetPid");
  if (object == nullptr) return kAXErrorIllegalArgument;
  if (object->pidHidden) return kAXErrorInvalidUIElement;
  *pid = object->pid;
  return kAXErrorSuccess;
}

AXError AXUIElementCopyAttributeValue(AXUIElementRef element,
                                      CFStringRef attribute, CFTypeRef* value) {
  Object* object = fake::elementOf(element, "AXUIElementCopyAttributeValue");
  Object* name = fake::lookupKind(attribute, Kind::String,
                                  "AXUIElementCopyAttributeValue");
  if (object == nullptr || name == nullptr || value == nullptr) {
    return kAXErrorIllegalArgument;
  }
  const std::string key = fake::utf8Of(*name);
  object->trips.push_back(key);
  if (fake::state().hung.count(object->pid) != 0) return kAXErrorCannotComplete;
  const auto it = object->answers.find(key);
  if (it == object->answers.end()) return kAXErrorAttributeUnsupported;
  const Answer& found = it->second;
  if (found.value != nullptr) fake::retainRef(found.value);
  *value = found.value;
  return found.code;
}

AXError AXUIElementCopyMultipleAttributeValues(
    AXUIElementRef element, CFArrayRef attributes,
    AXCopyMultipleAttributeOptions options, CFArrayRef* values) {
  Object* object =
      fake::elementOf(element, "AXUIElementCopyMultipleAttributeValues");
  Object* names = fake::lookupKind(attributes, Kind::Array,
                                   "AXUIElementCopyMultipleAttributeValues");
  if (object == nullptr || names == nullptr || values == nullptr) {
    return kAXErrorIllegalArgument;
  }
  if (options != 0) {
    fake::state().misuses.push_back("CopyMultiple: only options 0 modelled");
  }
  std::string trip;
  std::vector<std::string> keys;
  for (CFTypeRef entry : names->entries) {
    Object* name = fake::lookupKind(entry, Kind::String, "CopyMultiple name");
    if (name == nullptr) return kAXErrorIllegalArgument;
    keys.push_back(fake::utf8Of(*name));
    trip += (trip.empty() ? "" : "+") + keys.back();
  }
  object->trips.push_back(trip);
  if (fake::state().hung.count(object->pid) != 0) return kAXErrorCannotComplete;
  if (object->combinedCode != kAXErrorSuccess) return object->combinedCode;

  // Apple: each position holds the value, or kCFNull, or (options 0) an
  // AXValue of type kAXValueTypeAXError with the attribute's error.
  Object* result = fake::make(Kind::Array, false);
  for (const std::string& key : keys) {
    const auto it = object->answers.find(key);
    const AXError code = it == object->answers.end()
                             ? kAXErrorAttributeUnsupported
                             : it->second.code;
    if (code != kAXErrorSuccess) {
      result->entries.push_back(
          fake::boxed(kAXValueTypeAXError, &code, sizeof code, false));
      continue;
    }
    CFTypeRef value =
        it->second.value != nullptr ? it->second.value : fake::null();
    fake::retainRef(value);
    result->entries.push_back(value);
  }
  *values = static_cast<CFArrayRef>(static_cast<const void*>(result));
  return kAXErrorSuccess;
}

Class objc_getClass(const char* name) {
  const std::string wanted = name;
  if (wanted == "NSWorkspace" && fake::state().workspace.classLoaded) {
    return reinterpret_cast<Class>(&fake::workspaceClassTag);
  }
  if (wanted == "NSAutoreleasePool") {
    return reinterpret_cast<Class>(&fake::poolClassTag);
  }
  return nullptr;
}

SEL sel_registerName(const char* str) {
  static std::set<std::string> names;
  const auto it = names.insert(str).first;
  return reinterpret_cast<SEL>(const_cast<std::string*>(&*it));
}

// Called by the C trampoline in fake_objc.c, which stands in for
// objc_msgSend: every method of the fake answers a pointer-sized value.
void* kestreye_fake_objc_dispatch(void* self, void* selector) {
  const std::string& name = *static_cast<const std::string*>(selector);
  fake::State& s = fake::state();
  const id receiver = static_cast<id>(self);
  if (receiver == fake::objectFor(fake::workspaceClassTag) &&
      name == "sharedWorkspace") {
    return s.workspace.shared ? fake::objectFor(fake::workspaceTag) : nullptr;
  }
  if (receiver == fake::objectFor(fake::workspaceTag) &&
      name == "frontmostApplication") {
    return s.workspace.frontmost ? fake::objectFor(fake::applicationTag)
                                 : nullptr;
  }
  if (receiver == fake::objectFor(fake::applicationTag) &&
      name == "processIdentifier") {
    return reinterpret_cast<void*>(
        static_cast<intptr_t>(s.workspace.processIdentifier));
  }
  if (receiver == fake::objectFor(fake::poolClassTag) && name == "alloc") {
    return fake::objectFor(fake::poolTag);
  }
  if (receiver == fake::objectFor(fake::poolTag) && name == "init") {
    ++s.openPools;
    return fake::objectFor(fake::poolTag);
  }
  if (receiver == fake::objectFor(fake::poolTag) && name == "drain") {
    --s.openPools;
    ++s.drainedPools;
    return nullptr;
  }
  s.strayMessages.push_back(name);
  return nullptr;
}

void NSLog(CFStringRef format, ...) {
  fake::LogCall call;
  call.openPools = fake::state().openPools;
  if (Object* object = fake::lookupKind(format, Kind::String, "NSLog format")) {
    call.format = fake::utf8Of(*object);
  }
  va_list arguments;
  va_start(arguments, format);
  const void* first = va_arg(arguments, const void*);
  va_end(arguments);
  if (Object* object =
          fake::lookupKind(first, Kind::String, "NSLog argument")) {
    call.message = fake::utf8Of(*object);
  }
  fake::state().logCalls.push_back(call);
}

}  // extern "C"
