#include "platform/atspi/x11_focus.h"

#include <cstdlib>

#if KESTREYE_HAVE_X11
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#endif

namespace kestreye::atspi {

#if KESTREYE_HAVE_X11

namespace {

// Xlib's default error handler ends the process; a window that goes away
// between two requests is no reason to.
int ignoreXError(Display*, XErrorEvent*) { return 0; }

// One 32-bit item of a window property of the given type; Xlib hands
// 32-bit items over as longs.
std::optional<unsigned long> longProperty(Display* display, Window window,
                                          Atom property, Atom wantedType) {
  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long remaining = 0;
  unsigned char* data = nullptr;
  std::optional<unsigned long> result;
  if (XGetWindowProperty(display, window, property, 0, 1, False, wantedType,
                         &type, &format, &count, &remaining,
                         &data) == Success &&
      type == wantedType && format == 32 && count == 1) {
    result = *reinterpret_cast<unsigned long*>(data);
  }
  if (data != nullptr) XFree(data);
  return result;
}

}  // namespace

std::optional<std::string> x11AccessibilityBusAddress() {
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || name[0] == '\0') return std::nullopt;
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return std::nullopt;
  std::optional<std::string> address;
  const Atom property = XInternAtom(display, "AT_SPI_BUS", True);
  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long remaining = 0;
  unsigned char* data = nullptr;
  if (property != None &&
      XGetWindowProperty(display, DefaultRootWindow(display), property, 0, 4096,
                         False, XA_STRING, &type, &format, &count, &remaining,
                         &data) == Success &&
      type == XA_STRING && format == 8 && count > 0) {
    address.emplace(reinterpret_cast<const char*>(data), count);
  }
  if (data != nullptr) XFree(data);
  XCloseDisplay(display);
  return address;
}

std::optional<int32_t> x11FocusedProcessId() {
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || name[0] == '\0') return std::nullopt;
  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return std::nullopt;
  const auto previous = XSetErrorHandler(ignoreXError);
  const Window root = DefaultRootWindow(display);
  std::optional<int32_t> pid;
  const Atom wmPid = XInternAtom(display, "_NET_WM_PID", True);
  if (wmPid != None) {
    // A window manager names the active window; without one, the focus is
    // wherever the last client put it.
    const Atom active = XInternAtom(display, "_NET_ACTIVE_WINDOW", True);
    std::optional<Window> window;
    if (active != None) window = longProperty(display, root, active, XA_WINDOW);
    if (!window.has_value() || *window == None) {
      Window focus = None;
      int revert = 0;
      XGetInputFocus(display, &focus, &revert);
      if (focus != None && focus != PointerRoot) window = focus;
    }
    // The property sits on the client's top-level window; the focus may be
    // one of its children.
    for (int step = 0; window.has_value() && *window != None &&
                       *window != root && step < 16 && !pid.has_value();
         ++step) {
      if (const auto value =
              longProperty(display, *window, wmPid, XA_CARDINAL)) {
        pid = static_cast<int32_t>(*value);
      }
      Window parent = None;
      Window rootReturn = None;
      Window* children = nullptr;
      unsigned int childCount = 0;
      if (!pid.has_value() && XQueryTree(display, *window, &rootReturn, &parent,
                                         &children, &childCount) != 0) {
        if (children != nullptr) XFree(children);
        window = parent;
      } else if (!pid.has_value()) {
        window.reset();
      }
    }
  }
  XSetErrorHandler(previous);
  XCloseDisplay(display);
  return pid;
}

#else

std::optional<int32_t> x11FocusedProcessId() { return std::nullopt; }

std::optional<std::string> x11AccessibilityBusAddress() { return std::nullopt; }

#endif

}  // namespace kestreye::atspi
