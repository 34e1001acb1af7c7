// The macOS platform over ApplicationServices (the accessibility service)
// and AppKit (the frontmost application). Nothing here names an Apple type.
#pragma once

#include <memory>

#include "platform/platform.h"

namespace kestreye::macos {

/// The macOS platform: guarded reads through AXUIElementCopyAttributeValue
/// (see read_guard.h), AXIsProcessTrusted without a prompt, NSWorkspace's
/// frontmost application, NSLog for log lines.
std::unique_ptr<Platform> makePlatform();

}  // namespace kestreye::macos
