// The macOS platform over ApplicationServices (the accessibility service)
// and AppKit (the frontmost application). These functions back both the
// seam (seam.cpp) and the table that a recorder can stand in front of.
// Nothing here names an Apple type.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/backend.h"
#include "platform/platform.h"

namespace kestreye::macos {

/// CFRetain of the element's AXUIElementRef.
void retain(ElementRef ref);
/// CFRelease of the element's AXUIElementRef.
void release(ElementRef ref);
/// One guarded attribute read (see read_guard.h) through
/// AXUIElementCopyAttributeValue.
AttributeRead copyAttribute(const Element& element, std::string_view attribute);
/// AXIsProcessTrusted; never asks the user.
bool isProcessTrusted();
/// NSWorkspace's frontmost application's process id, or none.
std::optional<int32_t> frontmostProcessId();
/// AXUIElementCreateApplication of the process.
Element applicationElement(int32_t pid);
/// NSLog of the line, always as the argument of a fixed format.
void logLine(std::string_view line);

/// The macOS platform's table.
const PlatformBackend& backend();

}  // namespace kestreye::macos
