// The fake's objc_msgSend. The real one is an assembly trampoline that jumps
// to the method with the caller's arguments and leaves the result where the
// caller's cast type expects it; this one hands every message to the fake's
// dispatcher (fake_sdk.cpp) and returns a pointer-sized result, which the
// platform's casts to id and to pid_t read from the same return register on
// x86-64 and arm64. Linux test builds only.

void* kestreye_fake_objc_dispatch(void* self, void* selector);
void* objc_msgSend(void* self, void* selector);

void* objc_msgSend(void* self, void* selector) {
  return kestreye_fake_objc_dispatch(self, selector);
}
