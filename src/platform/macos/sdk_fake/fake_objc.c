// objc_msgSend hands every message to the fake's dispatcher: the platform's
// casts to id and to pid_t read the same return register on x86-64 and arm64.
void* kestreye_fake_objc_dispatch(void* self, void* selector);
void* objc_msgSend(void* self, void* selector);
void* objc_msgSend(void* self, void* selector) {
  return kestreye_fake_objc_dispatch(self, selector);
}
