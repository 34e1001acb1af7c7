// Which process owns the X11 input focus: a hint that lets the frontmost
// application be found without asking every application on the desktop.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kestreye::atspi {

/// The _NET_WM_PID of the active or focused X11 window, when an X server,
/// the window and the property are there; none without X11, and none on a
/// Wayland session whose X server (XWayland) is not already running.
std::optional<int32_t> x11FocusedProcessId();

/// The accessibility bus's address from the AT_SPI_BUS property of the root
/// window, where libatspi looks for it after AT_SPI_BUS_ADDRESS; none
/// without X11 or the property, and none on a Wayland session.
std::optional<std::string> x11AccessibilityBusAddress();

/// Whether the session is a Wayland one: WAYLAND_DISPLAY is set, or
/// XDG_SESSION_TYPE is "wayland".
bool waylandSession();

/// Whether an X server for the display `display` (DISPLAY's form) is
/// running, told from the processes in `proc` without connecting: a
/// compositor may start XWayland on the first connection to its socket. A
/// display on another host counts as running.
bool xServerRunning(const std::string& display, const std::string& proc);

}  // namespace kestreye::atspi
