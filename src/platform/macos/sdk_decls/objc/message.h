// objc/message.h as the macOS platform uses it, declared from Apple's
// documentation for syntax checks on other hosts. Not Apple's header.
#pragma once

#if defined(__APPLE__)
#error "sdk_decls stands in for the SDK on other hosts only; use the real SDK"
#endif

#include <objc/objc.h>

#ifdef __cplusplus
extern "C" {
#endif

// Without OBJC_OLD_DISPATCH_PROTOTYPES the SDK gives it no parameters at
// all, so that every call has to go through a cast to the method's type.
void objc_msgSend(void);

#ifdef __cplusplus
}
#endif
