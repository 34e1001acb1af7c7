// The seam over the memory platform, for the tests and kestreye-replay.
#include "platform/backend.h"
#include "platform/platform.h"

namespace kestreye {

void platformRetain(ElementRef ref) { memory::backend().retain(ref); }

void platformRelease(ElementRef ref) { memory::backend().release(ref); }

AttributeRead copyAttribute(const Element& element,
                            std::string_view attribute) {
  return memory::backend().copyAttribute(element, attribute);
}

bool isProcessTrusted() { return memory::backend().isProcessTrusted(); }

std::optional<int32_t> frontmostProcessId() {
  return memory::backend().frontmostProcessId();
}

Element applicationElement(int32_t pid) {
  return memory::backend().applicationElement(pid);
}

void logLine(std::string_view line) { memory::backend().logLine(line); }

}  // namespace kestreye
