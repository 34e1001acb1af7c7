// The frontmost application, found by asking every application on the
// accessibility bus at once which of its top-level windows are ACTIVE, and
// chosen among several that claim an ACTIVE window by what holds the focus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/atspi/atspi_private.h"

namespace kestreye::atspi {

/// What one application answered about its top-level windows.
struct WindowClaim {
  int32_t pid = 0;             ///< its process id; 0 when unknown
  bool shell = false;          ///< the desktop shell (gnome-shell, plasmashell)
  bool active = false;         ///< one of its top-level windows is ACTIVE
  bool windowFocused = false;  ///< that ACTIVE window is itself FOCUSED
  /// Whether an element of its ACTIVE window is FOCUSED; asked only when
  /// several applications claim an ACTIVE window.
  std::optional<bool> holdsFocus;
};

/// Whether an application's name is that of a desktop shell, whose own
/// window (overview search, launcher) takes the keyboard over another
/// application's window that stays ACTIVE beneath it.
bool isDesktopShell(std::string_view name);

/// Which claim is the frontmost application, or none when no application
/// claims an ACTIVE window: the only claimant; else among those that hold
/// the focus (all claimants when none does), a shell first, then the one
/// that `hint` (the X11 session's focused process, asked only then) names,
/// then the first.
std::optional<size_t> chooseFrontmost(const std::vector<WindowClaim>& claims,
                                      std::optional<int32_t> (*hint)());

/// The frontmost application among `apps` (the desktop's children): every
/// application is asked at once, each call with its own limit, so that the
/// search costs about the slowest answer of the applications that answer; an
/// application that does not answer before the reads end is marked hung.
/// `hint` is asked only when the answers alone do not decide. The chosen
/// application is remembered in `cache` under its process id.
std::optional<int32_t> findFrontmost(const std::vector<NodeRef>& apps,
                                     ScanCache& cache,
                                     std::optional<int32_t> (*hint)());

/// Whether process `pid` is stopped (state T or t in `proc`/PID/stat); false
/// when that cannot be read.
bool isStopped(int32_t pid, const std::string& proc);

/// The address of the socket that process `pid`'s bridge listens on for
/// clients of its own, told from the processes in `proc` (its descriptors
/// and the table of Unix sockets) without connecting; none when it opened
/// none.
std::optional<std::string> bridgeSocketOf(int32_t pid, const std::string& proc);

/// The sockets listening at plain paths where at-spi2-atk puts its bridges'
/// sockets, by inode, as the kernel lists them (sock_diag); none when it
/// does not answer (no unix_diag), and then the table in /proc is read.
std::optional<std::unordered_map<uint64_t, std::string>>
listeningBridgeSockets();

}  // namespace kestreye::atspi
