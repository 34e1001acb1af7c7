// The Linux platform: the seam's operations over libatspi (AT-SPI2). An
// ElementRef is an AtspiAccessible*; seam.cpp forwards the seam's free
// functions here, and backend() gathers them for layers such as the recorder.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/backend.h"
#include "platform/platform.h"

namespace kestreye::atspi {

/// How long one call may wait for an application before it counts as hung.
inline constexpr int kCallTimeoutMs = 500;

/// Takes one more reference to an accessible (g_object_ref).
void retain(ElementRef ref);
/// Gives up one reference to an accessible (g_object_unref).
void release(ElementRef ref);
/// Reads one attribute, named as on macOS, of an accessible.
AttributeRead copyAttribute(const Element& element, std::string_view attribute);
/// True once the accessibility bus answered and libatspi is initialised.
bool isProcessTrusted();
/// Process id of the application that owns the active top-level window.
std::optional<int32_t> frontmostProcessId();
/// The application accessible of a process; an empty handle when none matches.
Element applicationElement(int32_t pid);
/// Writes one line to syslog (ident "kestreye") and to standard error.
void logLine(std::string_view line);

}  // namespace kestreye::atspi
