// The macOS platform over ApplicationServices (the accessibility service)
// and AppKit (the frontmost application). Nothing here names an Apple type.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "platform/platform.h"

namespace kestreye::macos {

/// How the platform reads the time and waits; tests hand it a fake clock.
struct Clock {
  std::function<ScanDeadline()> now;                    ///< the steady time
  std::function<void(std::chrono::nanoseconds)> sleep;  ///< waits that long
};

/// The steady clock and a real sleep.
Clock systemClock();

/// The macOS platform: guarded reads through AXUIElementCopyAttributeValue
/// (see read_guard.h), each with a messaging timeout from the time the scan
/// has left; AXIsProcessTrusted without a prompt; NSWorkspace's frontmost
/// application, woken with AXManualAccessibility when it shows no focus;
/// NSLog for log lines.
std::unique_ptr<Platform> makePlatform(Clock clock = systemClock());

}  // namespace kestreye::macos
