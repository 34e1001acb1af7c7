#include "platform/atspi/startup_advice.h"

#include <fstream>
#include <sstream>

namespace kestreye::atspi {

namespace {

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

// Chromium, Chrome and Electron applications (code, slack, ...) share the
// switch; the command names below are the common ones.
bool isChromiumLike(std::string_view command) {
  return contains(command, "chrom") || contains(command, "electron") ||
         command == "code" || command == "brave" || command == "msedge";
}

std::string applicationOf(std::string_view command, int32_t pid) {
  return std::string(command.empty() ? "the frontmost application" : command) +
         " (pid " + std::to_string(pid) + ")";
}

}  // namespace

std::optional<std::string> processCommand(int32_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/comm");
  std::string command;
  if (!std::getline(file, command) || command.empty()) return std::nullopt;
  return command;
}

Toolkit toolkitOfMaps(std::string_view maps) {
  if (contains(maps, "/libQt5Core.so") || contains(maps, "/libQt6Core.so")) {
    return Toolkit::Qt;
  }
  if (contains(maps, "/libgtk-4.so")) return Toolkit::Gtk4;
  return Toolkit::Unknown;
}

Toolkit processToolkit(int32_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/maps");
  std::ostringstream maps;
  maps << file.rdbuf();
  return toolkitOfMaps(maps.str());
}

std::string notOnBusAdvice(std::string_view command, int32_t pid,
                           Toolkit toolkit) {
  std::string line = "[kestreye] " + applicationOf(command, pid) +
                     " is not on the accessibility bus. Turn accessibility on "
                     "for the session: busctl --user set-property "
                     "org.a11y.Bus /org/a11y/bus org.a11y.Status IsEnabled b "
                     "true";
  if (isChromiumLike(command)) {
    line +=
        ", then restart it (or start it with "
        "--force-renderer-accessibility)";
  } else if (contains(command, "firefox") || contains(command, "thunderbird")) {
    line +=
        "; it follows within seconds (or start it with "
        "GNOME_ACCESSIBILITY=1)";
  } else if (toolkit == Toolkit::Qt) {
    line +=
        ", then restart it (or start it with "
        "QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1)";
  } else if (toolkit == Toolkit::Gtk4) {
    // Outside a desktop session GTK 4 may pick no accessibility backend.
    line += ", then restart it (outside GNOME start it with GTK_A11Y=atspi)";
  } else {
    line +=
        ", then restart it (Qt: QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1; "
        "GTK 4: GTK_A11Y=atspi)";
  }
  return line;
}

std::string emptyWindowAdvice(std::string_view command, int32_t pid) {
  std::string line = "[kestreye] " + applicationOf(command, pid) +
                     " shows an empty window to assistive technologies";
  if (isChromiumLike(command)) {
    line += ": start it with --force-renderer-accessibility";
  } else {
    line += ": it may still be starting";
  }
  return line;
}

}  // namespace kestreye::atspi
