#include "platform/host_platform.h"

// CMake defines exactly one of these, after KESTREYE_PLATFORM.
#if defined(KESTREYE_PLATFORM_ATSPI)
#include "platform/atspi/atspi_platform.h"
#define KESTREYE_HOST_NAMESPACE atspi
#elif defined(KESTREYE_PLATFORM_MACOS)
#include "platform/macos/macos_platform.h"
#define KESTREYE_HOST_NAMESPACE macos
#else
#include "platform/memory/memory_platform.h"
#define KESTREYE_HOST_NAMESPACE memory
#endif

namespace kestreye {

std::unique_ptr<Platform> makeHostPlatform() {
  return KESTREYE_HOST_NAMESPACE::makePlatform();
}

}  // namespace kestreye
