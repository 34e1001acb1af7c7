// The seam's free functions on Linux: each forwards to the AT-SPI platform.
#include "platform/atspi/atspi_platform.h"
#include "platform/platform.h"

namespace kestreye {

void platformRetain(ElementRef ref) { atspi::retain(ref); }

void platformRelease(ElementRef ref) { atspi::release(ref); }

AttributeRead copyAttribute(const Element& element,
                            std::string_view attribute) {
  return atspi::copyAttribute(element, attribute);
}

bool isProcessTrusted() { return atspi::isProcessTrusted(); }

std::optional<int32_t> frontmostProcessId() {
  return atspi::frontmostProcessId();
}

Element applicationElement(int32_t pid) {
  return atspi::applicationElement(pid);
}

void logLine(std::string_view line) { atspi::logLine(line); }

}  // namespace kestreye
