// An in-process stand-in for the CoreFoundation, ApplicationServices,
// Objective-C and NSLog calls of the macOS platform, over the declarations of
// ../sdk_decls, so that Linux runs the platform's real sources. It counts
// references, checks the type of every object passed in and of every boxed
// value read, and answers from tables a test fills in. It models Apple's
// documented behaviour as this project reads it, not a Mac.
#pragma once

#include <ApplicationServices/ApplicationServices.h>
#include <CoreFoundation/CoreFoundation.h>
#include <sys/types.h>

#include <chrono>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kestreye::macos::fake {

using std::chrono::milliseconds;

/// The messaging timeout of an element whose own was never set.
inline constexpr milliseconds kDefaultTimeout{6000};

/// What the process-wide calls answer, how each process answers calls, the
/// time, and what was asked.
struct World {
  bool trusted = false;                            ///< AXIsProcessTrusted
  pid_t frontmost = 0;                             ///< NSWorkspace's answer
  std::map<pid_t, AXUIElementRef> applications{};  ///< CreateApplication
  /// Calls a process answers before it stops answering: each later call
  /// takes the element's whole messaging timeout, then "cannot complete".
  std::map<pid_t, int> hangsAfter{};
  /// How long each answer of a process takes; an answer slower than the
  /// timeout is a call that ran out of it.
  std::map<pid_t, milliseconds> latency{};
  /// The clock: calls and the platform's pauses move it on, nothing else.
  std::chrono::steady_clock::time_point now{};
  /// Every round trip to a process, as "PID TRIP TIMEOUTms" (see trips;
  /// 0ms while the element's timeout was never set).
  std::vector<std::string> calls{};
  std::vector<std::string> logs{};  ///< "format message" ("(no pool)")
  int openPools = 0;                ///< autorelease pools not drained
};

/// One attribute answer that an application starts to give later.
struct Answer {
  AXUIElementRef element;          ///< the element that answers
  std::string attribute;           ///< the attribute it answers for
  CFTypeRef value;                 ///< the value handed out (may be null)
  AXError code = kAXErrorSuccess;  ///< the code answered
};

/// The world of the running test.
World& world();
/// Forgets every object and setting.
void reset();
/// Drops the test's one reference to each of its objects, then lists every
/// fault: an unknown, freed or mistyped object passed in, an object not
/// released to zero, an undrained pool.
std::vector<std::string> finish();

/// A string of the test's, like every value below.
CFStringRef string(std::u16string units, bool direct = false);
/// The shared kCFBooleanTrue or kCFBooleanFalse.
CFBooleanRef boolean(bool value);
/// A number, floating or integer.
CFNumberRef number(double value, bool isFloat);
/// A boxed point (a, b), size (a, b), rect (a, b, c, d) or range (a, b).
AXValueRef box(AXValueType type, double a, double b, double c = 0,
               double d = 0);
/// An array that retains its entries.
CFArrayRef array(const std::vector<CFTypeRef>& entries);
/// The shared kCFNull.
CFTypeRef null();
/// An element of process `pid` that answers "unsupported" until told.
AXUIElementRef element(pid_t pid);
/// `attribute` answers `code` and hands out `value` (which may be null).
void answer(AXUIElementRef element, const std::string& attribute,
            CFTypeRef value, AXError code = kAXErrorSuccess);
/// AXUIElementCopyMultipleAttributeValues on `element` fails as a whole.
void failCombined(AXUIElementRef element, AXError code);
/// Setting `attribute` of `element` to kCFBooleanTrue answers `code` and,
/// `delay` later, makes `answers` the answers; unless told, a set answers
/// "unsupported".
void onSet(AXUIElementRef element, const std::string& attribute,
           milliseconds delay, std::vector<Answer> answers,
           AXError code = kAXErrorSuccess);
/// The round trips made to `element`, as "AXRole", "AXSubrole+AXValue",
/// "#AXChildren" (a count) or "=AXManualAccessibility" (a set).
std::vector<std::string> trips(AXUIElementRef element);

}  // namespace kestreye::macos::fake
