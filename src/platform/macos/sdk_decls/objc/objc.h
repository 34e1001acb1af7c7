// The Objective-C runtime's basic types, declared from Apple's documentation
// for syntax checks on other hosts. Not Apple's header.
#pragma once

#if defined(__APPLE__)
#error "sdk_decls stands in for the SDK on other hosts only; use the real SDK"
#endif

typedef struct objc_class* Class;
typedef struct objc_object* id;
typedef struct objc_selector* SEL;
