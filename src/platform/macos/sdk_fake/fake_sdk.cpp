#include "platform/macos/sdk_fake/fake_sdk.h"

#include <objc/objc.h>
#include <objc/runtime.h>

#include <cmath>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <utility>

#include "platform/macos/conversions.h"
#include "text/text.h"

namespace kestreye::macos::fake {
namespace {

// Each kind is also the CFTypeID of its objects.
enum Kind { kAny, kString, kBoolean, kNumber, kArray, kNull, kBox, kElement };

struct Object {
  Kind kind = kAny;
  long refs = 1;
  bool byTest = false;
  std::u16string units{};  // String: a test's, `direct` if stored as UTF-16
  std::string utf8{};
  bool direct = false;
  bool isFloat = false;
  int64_t integer = 0;  // Boolean, Number
  double real = 0;
  AXValueType boxType = kAXValueTypeIllegal;
  union {
    CGRect rect;  // a point or a size is its first half
    CFRange range;
    AXError error;
  } box{};
  std::vector<CFTypeRef> entries{};  // each retained
  pid_t pid = 0;                     // Element
  AXError combined = kAXErrorSuccess;
  std::map<std::string, std::pair<CFTypeRef, AXError>> answers{};
  std::vector<std::string> trips{};
  float timeout = 0;  // seconds; 0 until set
  // What setting an attribute to true does: its code, the delay and the
  // answers that follow.
  struct Wake {
    AXError code;
    milliseconds delay;
    std::vector<Answer> answers;
  };
  std::map<std::string, Wake> wakes{};
};

// Never erased before the reset: a freed object stays at zero references.
// The first three are kCFBooleanTrue, kCFBooleanFalse and kCFNull, whose
// addresses never change.
std::deque<Object> objects(3);
std::vector<std::string> faults;
World theWorld;
// Answers that start at a moment of the clock.
std::vector<std::pair<std::chrono::steady_clock::time_point, Answer>> pending;
// Calls each process answered or was asked.
std::map<pid_t, int> asked;

template <typename Ref = CFTypeRef>
Ref add(Object object) {
  return static_cast<Ref>(
      static_cast<const void*>(&objects.emplace_back(std::move(object))));
}

// The live object behind `ref`, of kind `K` unless kAny; after a fault, an
// empty stand-in.
template <Kind K = kAny>
Object& of(CFTypeRef ref, const char* caller = __builtin_FUNCTION()) {
  static Object none;
  for (Object& object : objects) {
    if (&object != ref || object.refs <= 0) continue;
    if (K == kAny || object.kind == K) return object;
    faults.push_back(std::string(caller) + ": an object of another type");
    return none = Object();
  }
  faults.push_back(std::string(caller) + ": an unknown or freed object");
  return none = Object();
}

void release(CFTypeRef ref) {
  Object& object = of(ref, "CFRelease");
  if (--object.refs == 0) {
    for (CFTypeRef entry : object.entries) release(entry);
  }
}

}  // namespace

World& world() { return theWorld; }

void reset() {
  objects.resize(3);
  faults.clear();
  pending.clear();
  asked.clear();
  theWorld = World();
  theWorld.now = std::chrono::steady_clock::now();
  // The constants are the test's like its own objects.
  objects[0] = {.kind = kBoolean, .byTest = true, .integer = 1};
  objects[1] = {.kind = kBoolean, .byTest = true};
  objects[2] = {.kind = kNull, .byTest = true};
}

std::vector<std::string> finish() {
  for (size_t i = 0; i < objects.size(); ++i) {
    if (objects[i].byTest) release(&objects[i]);
  }
  std::vector<std::string> found = faults;
  for (size_t i = 0; i < objects.size(); ++i) {
    if (objects[i].refs == 0) continue;
    found.push_back("object " + std::to_string(i) + " of kind " +
                    std::to_string(objects[i].kind) + " not released");
  }
  if (theWorld.openPools != 0) found.push_back("an undrained pool");
  return found;
}

CFStringRef string(std::u16string units, bool direct) {
  const std::string utf8 = utf8FromUtf16(
      {reinterpret_cast<const uint16_t*>(units.data()), units.size()});
  return add<CFStringRef>({.kind = kString,
                           .byTest = true,
                           .units = units,
                           .utf8 = utf8,
                           .direct = direct});
}

CFBooleanRef boolean(bool value) {
  return static_cast<CFBooleanRef>(
      static_cast<const void*>(&objects[value ? 0 : 1]));
}

CFNumberRef number(double value, bool isFloat) {
  Object object{.kind = kNumber, .byTest = true, .isFloat = isFloat};
  object.integer = isFloat ? 0 : int64_t(value);
  object.real = isFloat ? value : double(object.integer);
  return add<CFNumberRef>(std::move(object));
}

AXValueRef box(AXValueType type, double a, double b, double c, double d) {
  Object object{.kind = kBox, .byTest = true, .boxType = type};
  object.box.rect = {{a, b}, {c, d}};
  if (type == kAXValueTypeCFRange) object.box.range = {CFIndex(a), CFIndex(b)};
  return add<AXValueRef>(std::move(object));
}

CFArrayRef array(const std::vector<CFTypeRef>& entries) {
  for (CFTypeRef entry : entries) CFRetain(entry);
  return add<CFArrayRef>({.kind = kArray, .byTest = true, .entries = entries});
}

CFTypeRef null() { return &objects[2]; }

AXUIElementRef element(pid_t pid) {
  return add<AXUIElementRef>({.kind = kElement, .byTest = true, .pid = pid});
}

void answer(AXUIElementRef element, const std::string& attribute,
            CFTypeRef value, AXError code) {
  of<kElement>(element).answers[attribute] = {value, code};
}

void failCombined(AXUIElementRef element, AXError code) {
  of<kElement>(element).combined = code;
}

void onSet(AXUIElementRef element, const std::string& attribute,
           milliseconds delay, std::vector<Answer> answers, AXError code) {
  of<kElement>(element).wakes[attribute] = {code, delay, std::move(answers)};
}

std::vector<std::string> trips(AXUIElementRef element) {
  return of<kElement>(element).trips;
}

namespace {

// One round trip to the process of `element`, recorded as `trip`: answers
// that are due take effect first, then the clock moves on by the answer's
// latency, or by the whole timeout of a process that no longer answers
// (false then).
bool roundTrip(Object& element, const std::string& trip) {
  for (auto it = pending.begin(); it != pending.end();) {
    if (it->first > theWorld.now) {
      ++it;
      continue;
    }
    const Answer& due = it->second;
    of<kElement>(due.element).answers[due.attribute] = {due.value, due.code};
    it = pending.erase(it);
  }
  element.trips.push_back(trip);
  const auto timeout =
      element.timeout > 0
          ? std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::duration<double>(element.timeout))
          : std::chrono::nanoseconds(kDefaultTimeout);
  theWorld.calls.push_back(std::to_string(element.pid) + " " + trip + " " +
                           std::to_string(std::lround(element.timeout * 1000)) +
                           "ms");
  const int before = asked[element.pid]++;
  const auto hangs = theWorld.hangsAfter.find(element.pid);
  const auto latency = theWorld.latency.find(element.pid);
  const std::chrono::nanoseconds takes = latency == theWorld.latency.end()
                                             ? std::chrono::nanoseconds(0)
                                             : latency->second;
  if ((hangs != theWorld.hangsAfter.end() && before >= hangs->second) ||
      takes >= timeout) {
    theWorld.now += timeout;
    return false;
  }
  theWorld.now += takes;
  return true;
}

// The answer `element` holds for `attribute`, copied out as the real call
// does.
AXError answerOf(Object& element, const std::string& attribute,
                 CFTypeRef* value) {
  const auto it = element.answers.find(attribute);
  if (it == element.answers.end()) return kAXErrorAttributeUnsupported;
  *value = it->second.first ? CFRetain(it->second.first) : nullptr;
  return it->second.second;
}

}  // namespace

}  // namespace kestreye::macos::fake

using namespace kestreye::macos::fake;
namespace fake = kestreye::macos::fake;

const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFBooleanRef kCFBooleanTrue = boolean(true);
const CFArrayCallBacks kCFTypeArrayCallBacks = {0, nullptr, nullptr, nullptr,
                                                nullptr};

extern "C" {

CFTypeRef CFRetain(CFTypeRef cf) { return ++of(cf).refs, cf; }
void CFRelease(CFTypeRef cf) { fake::release(cf); }
CFTypeID CFGetTypeID(CFTypeRef cf) { return of(cf).kind; }
CFTypeID CFNullGetTypeID(void) { return kNull; }
CFTypeID CFStringGetTypeID(void) { return kString; }
CFTypeID CFBooleanGetTypeID(void) { return kBoolean; }
CFTypeID CFNumberGetTypeID(void) { return kNumber; }
CFTypeID CFArrayGetTypeID(void) { return kArray; }
CFTypeID AXValueGetTypeID(void) { return kBox; }
CFTypeID AXUIElementGetTypeID(void) { return kElement; }

// Refuses ill-formed UTF-8 outright, as the real one does.
CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8* bytes,
                                    CFIndex size, CFStringEncoding, Boolean) {
  std::string utf8(reinterpret_cast<const char*>(bytes), size_t(size));
  if (!kestreye::isValidUtf8(utf8)) return nullptr;
  return add<CFStringRef>({.kind = kString, .utf8 = utf8});
}

CFIndex CFStringGetLength(CFStringRef s) {
  return CFIndex(of<kString>(s).units.size());
}

const UniChar* CFStringGetCharactersPtr(CFStringRef s) {
  const Object& string = of<kString>(s);
  return string.direct ? reinterpret_cast<const UniChar*>(string.units.data())
                       : nullptr;
}

// A location past the end throws, which fails the test.
void CFStringGetCharacters(CFStringRef s, CFRange range, UniChar* out) {
  of<kString>(s)
      .units.substr(size_t(range.location))
      .copy(reinterpret_cast<char16_t*>(out), size_t(range.length));
}

Boolean CFBooleanGetValue(CFBooleanRef b) { return of<kBoolean>(b).integer; }
Boolean CFNumberIsFloatType(CFNumberRef n) { return of<kNumber>(n).isFloat; }

Boolean CFNumberGetValue(CFNumberRef n, CFNumberType type, void* out) {
  const Object& number = of<kNumber>(n);
  if (type == kCFNumberDoubleType) *static_cast<double*>(out) = number.real;
  if (type == kCFNumberSInt64Type) *static_cast<int64_t*>(out) = number.integer;
  return type == kCFNumberDoubleType || !number.isFloat;
}

CFArrayRef CFArrayCreate(CFAllocatorRef, const void** values, CFIndex count,
                         const CFArrayCallBacks* callBacks) {
  if (callBacks != &kCFTypeArrayCallBacks) faults.push_back("CFArrayCreate");
  for (CFIndex i = 0; i < count; ++i) CFRetain(values[i]);
  return add<CFArrayRef>(
      {.kind = kArray,
       .entries = std::vector<CFTypeRef>(values, values + count)});
}

CFIndex CFArrayGetCount(CFArrayRef a) {
  return CFIndex(of<kArray>(a).entries.size());
}

const void* CFArrayGetValueAtIndex(CFArrayRef a, CFIndex index) {
  return of<kArray>(a).entries.at(size_t(index));
}

AXValueType AXValueGetType(AXValueRef v) { return of<kBox>(v).boxType; }

// Copies out only as the type the value holds, as the real one does.
Boolean AXValueGetValue(AXValueRef v, AXValueType type, void* out) {
  const Object& boxed = of<kBox>(v);
  if (boxed.boxType != type) return false;
  // A point, a size and a range are all as large.
  std::memcpy(out, &boxed.box,
              type == kAXValueTypeCGRect    ? sizeof(CGRect)
              : type == kAXValueTypeAXError ? sizeof(AXError)
                                            : sizeof(CGPoint));
  return true;
}

Boolean AXIsProcessTrusted(void) { return world().trusted; }

AXUIElementRef AXUIElementCreateApplication(pid_t pid) {
  if (world().applications.count(pid) == 0) {
    return add<AXUIElementRef>({.kind = kElement, .pid = pid});
  }
  return static_cast<AXUIElementRef>(CFRetain(world().applications[pid]));
}

AXError AXUIElementGetPid(AXUIElementRef element, pid_t* pid) {
  *pid = of<kElement>(element).pid;
  return kAXErrorSuccess;
}

AXError AXUIElementCopyAttributeValue(AXUIElementRef element,
                                      CFStringRef attribute, CFTypeRef* value) {
  Object& called = of<kElement>(element);
  const std::string name = of<kString>(attribute).utf8;
  if (!roundTrip(called, name)) return kAXErrorCannotComplete;
  return answerOf(called, name, value);
}

AXError AXUIElementGetAttributeValueCount(AXUIElementRef element,
                                          CFStringRef attribute,
                                          CFIndex* count) {
  Object& called = of<kElement>(element);
  const std::string name = of<kString>(attribute).utf8;
  if (!roundTrip(called, "#" + name)) return kAXErrorCannotComplete;
  CFTypeRef value = nullptr;
  const AXError code = answerOf(called, name, &value);
  CFIndex entries = -1;
  if (value != nullptr) {
    if (of(value).kind == kArray) entries = CFIndex(of(value).entries.size());
    CFRelease(value);
  }
  if (code != kAXErrorSuccess) return code;
  if (entries < 0) return kAXErrorIllegalArgument;
  *count = entries;
  return kAXErrorSuccess;
}

AXError AXUIElementSetAttributeValue(AXUIElementRef element,
                                     CFStringRef attribute, CFTypeRef value) {
  Object& called = of<kElement>(element);
  const std::string name = of<kString>(attribute).utf8;
  // The only value the platform ever sets.
  if (value != kCFBooleanTrue) {
    faults.push_back("AXUIElementSetAttributeValue: not kCFBooleanTrue");
  }
  if (!roundTrip(called, "=" + name)) return kAXErrorCannotComplete;
  const auto it = called.wakes.find(name);
  if (it == called.wakes.end()) return kAXErrorAttributeUnsupported;
  for (const Answer& answer : it->second.answers) {
    pending.emplace_back(theWorld.now + it->second.delay, answer);
  }
  return it->second.code;
}

// Apple: the timeout must be positive, and 0 resets it (never wanted here).
AXError AXUIElementSetMessagingTimeout(AXUIElementRef element,
                                       float timeoutInSeconds) {
  Object& called = of<kElement>(element);
  if (!(timeoutInSeconds > 0)) {
    faults.push_back("AXUIElementSetMessagingTimeout: not positive");
    return kAXErrorIllegalArgument;
  }
  called.timeout = timeoutInSeconds;
  return kAXErrorSuccess;
}

// Options 0: each position holds the value, kCFNull, or an AXValue of type
// kAXValueTypeAXError with the attribute's error.
AXError AXUIElementCopyMultipleAttributeValues(
    AXUIElementRef element, CFArrayRef attributes,
    AXCopyMultipleAttributeOptions options, CFArrayRef* values) {
  Object& called = of<kElement>(element);
  std::string trip;
  for (CFTypeRef name : of<kArray>(attributes).entries) {
    trip += (trip.empty() ? "" : "+") + of<kString>(name).utf8;
  }
  if (!roundTrip(called, trip)) return kAXErrorCannotComplete;
  std::vector<CFTypeRef> entries;
  for (CFTypeRef name : of<kArray>(attributes).entries) {
    CFTypeRef value = nullptr;
    Object error{.kind = kBox, .boxType = kAXValueTypeAXError};
    error.box.error = answerOf(called, of<kString>(name).utf8, &value);
    if (error.box.error != kAXErrorSuccess && value) CFRelease(value);
    entries.push_back(error.box.error != kAXErrorSuccess ? add(std::move(error))
                      : value != nullptr                 ? value
                                                         : CFRetain(null()));
  }
  *values = add<CFArrayRef>({.kind = kArray, .entries = entries});
  const AXError code = options != 0 ? kAXErrorIllegalArgument : called.combined;
  if (code != kAXErrorSuccess) CFRelease(std::exchange(*values, nullptr));
  return code;
}

// A class is its name, a selector its interned name, and every object the
// class it came from.
Class objc_getClass(const char* name) {
  return reinterpret_cast<Class>(const_cast<char*>(name));
}

SEL sel_registerName(const char* name) {
  static std::set<std::string> names;
  return reinterpret_cast<SEL>(
      const_cast<char*>(names.insert(name).first->c_str()));
}

// Called by fake_objc.c's objc_msgSend.
void* kestreye_fake_objc_dispatch(void* self, void* selector) {
  const std::string name = static_cast<const char*>(selector);
  if (name == "processIdentifier") {
    return reinterpret_cast<void*>(intptr_t(world().frontmost));
  }
  world().openPools += name == "init" ? 1 : name == "drain" ? -1 : 0;
  return self;
}

void NSLog(CFStringRef format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const void* message = va_arg(arguments, const void*);
  va_end(arguments);
  world().logs.push_back(of<kString>(format).utf8 + " " +
                         of<kString>(message).utf8 +
                         (world().openPools > 0 ? "" : " (no pool)"));
}

}  // extern "C"
