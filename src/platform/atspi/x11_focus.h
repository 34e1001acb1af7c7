// Which process owns the X11 input focus: a hint that lets the frontmost
// application be found without asking every application on the desktop.
#pragma once

#include <cstdint>
#include <optional>

namespace kestreye::atspi {

/// The _NET_WM_PID of the active or focused X11 window, when an X server,
/// the window and the property are there; none on Wayland or without X11.
std::optional<int32_t> x11FocusedProcessId();

}  // namespace kestreye::atspi
