// Which process owns the X11 input focus: a hint that lets the frontmost
// application be found without asking every application on the desktop.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kestreye::atspi {

/// The _NET_WM_PID of the active or focused X11 window, when an X server,
/// the window and the property are there; none on Wayland or without X11.
std::optional<int32_t> x11FocusedProcessId();

/// The accessibility bus's address from the AT_SPI_BUS property of the root
/// window, where libatspi looks for it after AT_SPI_BUS_ADDRESS; none
/// without X11 or the property.
std::optional<std::string> x11AccessibilityBusAddress();

}  // namespace kestreye::atspi
