// The seam's free functions for the recording tools: each goes through the
// recorder to the platform it was given.
#include "platform/platform.h"
#include "platform/record/recorder.h"

namespace kestreye {

void platformRetain(ElementRef ref) { record::retain(ref); }

void platformRelease(ElementRef ref) { record::release(ref); }

AttributeRead copyAttribute(const Element& element,
                            std::string_view attribute) {
  return record::copyAttribute(element, attribute);
}

bool isProcessTrusted() { return record::isProcessTrusted(); }

std::optional<int32_t> frontmostProcessId() {
  return record::frontmostProcessId();
}

Element applicationElement(int32_t pid) {
  return record::applicationElement(pid);
}

void logLine(std::string_view line) { record::logLine(line); }

}  // namespace kestreye
