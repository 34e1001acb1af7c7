#include "platform/platform.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace kestreye {
namespace {

Platform* installed = nullptr;

}  // namespace

void installPlatform(Platform& platform) { installed = &platform; }

Platform& installedPlatform() {
  if (installed == nullptr) {
    std::fputs("kestreye: no platform installed\n", stderr);
    std::abort();
  }
  return *installed;
}

void platformRetain(ElementRef ref) { installedPlatform().retain(ref); }

void platformRelease(ElementRef ref) { installedPlatform().release(ref); }

AttributeRead copyAttribute(const Element& element,
                            std::string_view attribute) {
  return installedPlatform().copyAttribute(element, attribute);
}

bool isProcessTrusted() { return installedPlatform().isProcessTrusted(); }

std::optional<int32_t> frontmostProcessId() {
  return installedPlatform().frontmostProcessId();
}

Element applicationElement(int32_t pid) {
  return installedPlatform().applicationElement(pid);
}

void logLine(std::string_view line) { installedPlatform().logLine(line); }

bool Number::boolValue() const {
  if (kind == Kind::Real) return real != 0.0;  // NaN compares unequal: true
  return integer != 0;
}

int64_t Number::integerValue() const {
  if (kind != Kind::Real) return integer;
  if (std::isnan(real)) return 0;
  if (real >= 9223372036854775808.0) return INT64_MAX;
  if (real <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(real);
}

}  // namespace kestreye
