// Start-up checks that libdbus cannot make with a time limit: libatspi's
// first connection authenticates and registers on the accessibility bus with
// no limit at all, so a bus that accepts a connection and never answers would
// block the process forever.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace kestreye::atspi {

/// Whether the D-Bus server at `address` answers the first line of a
/// connection's authentication before `deadline`. Addresses of a kind this
/// check cannot reach (tcp, launchd) count as answering.
bool busAnswers(std::string_view address,
                std::chrono::steady_clock::time_point deadline);

/// The accessibility bus's address from the session bus at `sessionAddress`
/// (org.a11y.Bus.GetAddress), or none when it does not answer before
/// `deadline`.
std::optional<std::string> accessibilityBusFromSession(
    std::string_view sessionAddress,
    std::chrono::steady_clock::time_point deadline);

}  // namespace kestreye::atspi
