// objc/runtime.h as the macOS platform uses it, declared from Apple's
// documentation for syntax checks on other hosts. Not Apple's header.
#pragma once

#if defined(__APPLE__)
#error "sdk_decls stands in for the SDK on other hosts only; use the real SDK"
#endif

#include <objc/objc.h>

#ifdef __cplusplus
extern "C" {
#endif

Class objc_getClass(const char* name);
SEL sel_registerName(const char* str);

#ifdef __cplusplus
}
#endif
