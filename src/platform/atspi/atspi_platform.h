// The Linux platform over libatspi (AT-SPI2). An ElementRef is an
// AtspiAccessible*; attributes are named and answered as on macOS.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace kestreye::atspi {

/// How long one call may wait outside a scan; within a scan a call may wait
/// until the scan's reads end.
inline constexpr int kCallTimeoutMs = 500;

/// The AT-SPI platform. libatspi starts on the first call that needs it and
/// only when a bus address is set; log lines go to syslog and standard error.
std::unique_ptr<Platform> makePlatform();

}  // namespace kestreye::atspi
