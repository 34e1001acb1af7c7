// An in-process stand-in for the parts of CoreFoundation, ApplicationServices,
// the Objective-C runtime and NSLog that the macOS platform calls, built on
// the declarations of ../sdk_decls. It lets Linux link and run the platform's
// real sources: it checks reference counts, counts round trips and answers
// from tables that a test fills in.
//
// It models Apple's *documented* behaviour as this project reads it; where
// the documentation is silent it does the simplest plausible thing. A test
// that passes here shows the platform's own logic and ownership are right
// against that model, not that the model matches a Mac.
#pragma once

#include <ApplicationServices/ApplicationServices.h>
#include <CoreFoundation/CoreFoundation.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kestreye::macos::fake {

/// Forgets every object and setting; the Boolean and null singletons are made
/// anew.
void reset();

/// Misuses seen since the last reset (an unknown or dead object passed in,
/// a test-made object released below its own reference).
std::vector<std::string> misuses();

/// Objects whose reference count is not back where it started: each made by
/// a test should hold its own reference plus one for each array of the test
/// that holds it, each made by the platform none.
std::vector<std::string> imbalances();

/// Number of objects the platform has made (Create, Copy) since the reset.
int objectsMadeByPlatform();

// Values, made by the test and owned by it (one reference each).

/// A string of UTF-16 units; `direct` makes CFStringGetCharactersPtr answer.
CFStringRef string(std::u16string units, bool direct = false);
/// The shared kCFBooleanTrue or kCFBooleanFalse.
CFBooleanRef boolean(bool value);
/// An integer CFNumber.
CFNumberRef integer(int64_t value);
/// A floating CFNumber.
CFNumberRef real(double value);
/// An AXValue holding a point, a size, a rectangle or a range.
AXValueRef point(double x, double y);
AXValueRef size(double w, double h);
AXValueRef rect(double x, double y, double w, double h);
AXValueRef range(CFIndex location, CFIndex length);
/// A CFArray that retains its entries.
CFArrayRef array(const std::vector<CFTypeRef>& entries);
/// The shared kCFNull.
CFTypeRef null();
/// An object of a type the platform does not know (a CFDictionary, say).
CFTypeRef other();

// Elements and their answers.

/// An accessibility element of process `pid`.
AXUIElementRef element(pid_t pid);
/// `attribute` of `element` answers success with `value` (null: no value).
void answer(AXUIElementRef element, const std::string& attribute,
            CFTypeRef value);
/// `attribute` of `element` answers `code`; with `leftBehind`, the call also
/// stores a copied value, which the caller then owns.
void fail(AXUIElementRef element, const std::string& attribute, AXError code,
          CFTypeRef leftBehind = nullptr);
/// AXUIElementCopyMultipleAttributeValues on `element` fails as a whole.
void failCombined(AXUIElementRef element, AXError code);
/// Every call to an element of process `pid` answers kAXErrorCannotComplete.
void hang(pid_t pid);
/// AXUIElementGetPid fails for `element`.
void hidePid(AXUIElementRef element);
/// Round trips made to `element`, as "AXRole" or "AXSubrole+AXValue".
std::vector<std::string> trips(AXUIElementRef element);
/// Round trips made to every element of process `pid`.
int tripsTo(pid_t pid);
/// What AXUIElementCreateApplication answers for `pid` (a new reference to it).
void setApplication(pid_t pid, AXUIElementRef element);

// The rest of the system.

/// What AXIsProcessTrusted answers.
void setTrusted(bool trusted);

/// What NSWorkspace answers.
struct Workspace {
  bool classLoaded = true;      ///< objc_getClass("NSWorkspace") is not nil
  bool shared = true;           ///< sharedWorkspace is not nil
  bool frontmost = true;        ///< frontmostApplication is not nil
  pid_t processIdentifier = 0;  ///< the frontmost application's process id
};
/// The workspace the next calls see.
Workspace& workspace();
/// Autorelease pools made and not yet drained.
int openPools();
/// Autorelease pools drained since the reset.
int drainedPools();
/// Messages sent to objects the fake does not know, as "selector".
std::vector<std::string> strayMessages();

/// One NSLog call: its format and its first argument, as UTF-8.
struct LogCall {
  std::string format;
  std::string message;
  int openPools = 0;  ///< pools open during the call
};
/// NSLog calls since the reset.
const std::vector<LogCall>& logCalls();

}  // namespace kestreye::macos::fake
