// An in-process stand-in for the parts of CoreFoundation, ApplicationServices,
// the Objective-C runtime and NSLog that the macOS platform calls, built on
// the declarations of ../sdk_decls, so that Linux runs the platform's real
// sources. It counts references, checks the type of every boxed value read,
// and answers from tables a test fills in. It models Apple's documented
// behaviour as this project reads it, not a Mac.
#pragma once

#include <ApplicationServices/ApplicationServices.h>
#include <CoreFoundation/CoreFoundation.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace kestreye::macos::fake {

/// Forgets every object and setting.
void reset();
/// Every fault since the reset: an unknown or freed object passed in, an
/// object read as another type, a test's object not back at its own
/// references, a platform's object never released, an undrained pool.
std::vector<std::string> faults();
/// Number of objects the platform has made (Create, Copy) since the reset.
int objectsMadeByPlatform();

/// Values made by the test, each holding one reference of the test's.
CFStringRef string(std::u16string units, bool direct = false);
CFBooleanRef boolean(bool value);
CFNumberRef integer(int64_t value);
CFNumberRef real(double value);
AXValueRef point(double x, double y);
AXValueRef size(double w, double h);
AXValueRef rect(double x, double y, double w, double h);
AXValueRef range(CFIndex location, CFIndex length);
/// An array that retains its entries.
CFArrayRef array(const std::vector<CFTypeRef>& entries);
/// The shared kCFNull, a kind the platform reads as no shape.
CFTypeRef null();

/// An accessibility element of process `pid`, which answers "unsupported"
/// until told otherwise.
AXUIElementRef element(pid_t pid);
/// `attribute` answers `code` and stores `value` (null: none); a value
/// stored beside a failure is the caller's to release all the same.
void answer(AXUIElementRef element, const std::string& attribute,
            CFTypeRef value, AXError code = kAXErrorSuccess);
/// AXUIElementCopyMultipleAttributeValues on `element` fails as a whole.
void failCombined(AXUIElementRef element, AXError code);
/// Every call to an element of process `pid` answers "cannot complete".
void hang(pid_t pid);
/// Round trips made to `element`, as "AXRole" or "AXSubrole+AXValue".
std::vector<std::string> trips(AXUIElementRef element);
/// What AXUIElementCreateApplication answers for `pid` (a new reference).
void setApplication(pid_t pid, AXUIElementRef element);

/// What AXIsProcessTrusted answers.
void setTrusted(bool trusted);
/// The process id of NSWorkspace's frontmost application.
void setFrontmost(pid_t pid);

/// One NSLog call: its format and its one argument, as UTF-8, and whether a
/// pool was open around it.
struct LogCall {
  std::string format;
  std::string message;
  bool inPool = false;
};
const std::vector<LogCall>& logCalls();

}  // namespace kestreye::macos::fake
