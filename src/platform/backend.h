// A platform's seam functions gathered in one table, so that a layer such as
// the recorder can stand between the core and a real platform. Each platform
// folder exports its table besides defining the seam itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/platform.h"

namespace kestreye {

/// The seam functions of one platform.
struct PlatformBackend {
  void (*retain)(ElementRef ref);
  void (*release)(ElementRef ref);
  AttributeRead (*copyAttribute)(const Element& element,
                                 std::string_view attribute);
  bool (*isProcessTrusted)();
  std::optional<int32_t> (*frontmostProcessId)();
  Element (*applicationElement)(int32_t pid);
  void (*logLine)(std::string_view line);
};

namespace memory {
/// The memory platform's table.
const PlatformBackend& backend();
}  // namespace memory

namespace atspi {
/// The AT-SPI platform's table.
const PlatformBackend& backend();
}  // namespace atspi

}  // namespace kestreye
