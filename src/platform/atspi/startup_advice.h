// What to tell a user whose frontmost application kestreye cannot read:
// an application that is not on the accessibility bus, or shows it an empty
// window. kestreye never changes session settings itself.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kestreye::atspi {

/// The command name of a process (/proc/PID/comm), when it can be read.
std::optional<std::string> processCommand(int32_t pid);

/// The toolkits whose own switch puts an application on the bus.
enum class Toolkit { Unknown, Qt, Gtk4 };

/// The toolkit whose library a memory map (/proc/PID/maps) lists.
Toolkit toolkitOfMaps(std::string_view maps);

/// The toolkit of a process, from /proc/PID/maps; Unknown when unreadable.
Toolkit processToolkit(int32_t pid);

/// One log line: the application of process `pid`, named `command` and built
/// with `toolkit`, is not on the accessibility bus, and how to put it there.
std::string notOnBusAdvice(std::string_view command, int32_t pid,
                           Toolkit toolkit = Toolkit::Unknown);

/// One log line: the application shows an empty window, and how to fill it.
std::string emptyWindowAdvice(std::string_view command, int32_t pid);

}  // namespace kestreye::atspi
