// ApplicationServices (HIServices accessibility, CoreGraphics geometry) as the
// macOS platform uses it, declared from Apple's documentation for syntax
// checks on other hosts. Not Apple's header.
#pragma once

#if defined(__APPLE__)
#error "sdk_decls stands in for the SDK on other hosts only; use the real SDK"
#endif

#include <CoreFoundation/CoreFoundation.h>
#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

// MacTypes.h (through CoreServices) puts these at global scope; they are
// declared here too so that the check catches code that would be ambiguous
// between them and the platform interface's kestreye::Point, Size and Rect.
struct Point {
  short v;
  short h;
};
typedef struct Point Point;
struct Rect {
  short top;
  short left;
  short bottom;
  short right;
};
typedef struct Rect Rect;
typedef long Size;

// CoreGraphics: CGFloat is double on every 64-bit target.
typedef double CGFloat;
struct CGPoint {
  CGFloat x;
  CGFloat y;
};
typedef struct CGPoint CGPoint;
struct CGSize {
  CGFloat width;
  CGFloat height;
};
typedef struct CGSize CGSize;
struct CGRect {
  CGPoint origin;
  CGSize size;
};
typedef struct CGRect CGRect;

// AXError.h
enum AXError : int32_t {
  kAXErrorSuccess = 0,
  kAXErrorFailure = -25200,
  kAXErrorIllegalArgument = -25201,
  kAXErrorInvalidUIElement = -25202,
  kAXErrorCannotComplete = -25204,
  kAXErrorAttributeUnsupported = -25205,
  kAXErrorNotImplemented = -25208,
  kAXErrorNoValue = -25212,
};

// AXValue.h
typedef const struct __AXValue* AXValueRef;
enum AXValueType : UInt32 {
  kAXValueTypeCGPoint = 1,
  kAXValueTypeCGSize = 2,
  kAXValueTypeCGRect = 3,
  kAXValueTypeCFRange = 4,
  kAXValueTypeAXError = 5,
  kAXValueTypeIllegal = 0,
};
CFTypeID AXValueGetTypeID(void);
AXValueType AXValueGetType(AXValueRef value);
Boolean AXValueGetValue(AXValueRef value, AXValueType theType, void* valuePtr);

// AXUIElement.h
typedef const struct __AXUIElement* AXUIElementRef;
typedef UInt32 AXCopyMultipleAttributeOptions;
Boolean AXIsProcessTrusted(void);
CFTypeID AXUIElementGetTypeID(void);
AXUIElementRef AXUIElementCreateApplication(pid_t pid);
AXError AXUIElementCopyAttributeValue(AXUIElementRef element,
                                      CFStringRef attribute, CFTypeRef* value);
AXError AXUIElementCopyMultipleAttributeValues(
    AXUIElementRef element, CFArrayRef attributes,
    AXCopyMultipleAttributeOptions options, CFArrayRef* values);
AXError AXUIElementGetPid(AXUIElementRef element, pid_t* pid);
AXError AXUIElementGetAttributeValueCount(AXUIElementRef element,
                                          CFStringRef attribute,
                                          CFIndex* count);
AXError AXUIElementSetAttributeValue(AXUIElementRef element,
                                     CFStringRef attribute, CFTypeRef value);
AXError AXUIElementSetMessagingTimeout(AXUIElementRef element,
                                       float timeoutInSeconds);

#ifdef __cplusplus
}
#endif
