// The seam, answered by the macOS platform.
#include "platform/macos/macos_platform.h"
#include "platform/platform.h"

namespace kestreye {

void platformRetain(ElementRef ref) { macos::retain(ref); }

void platformRelease(ElementRef ref) { macos::release(ref); }

AttributeRead copyAttribute(const Element& element,
                            std::string_view attribute) {
  return macos::copyAttribute(element, attribute);
}

bool isProcessTrusted() { return macos::isProcessTrusted(); }

std::optional<int32_t> frontmostProcessId() {
  return macos::frontmostProcessId();
}

Element applicationElement(int32_t pid) {
  return macos::applicationElement(pid);
}

void logLine(std::string_view line) { macos::logLine(line); }

}  // namespace kestreye
