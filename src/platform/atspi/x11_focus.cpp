#include "platform/atspi/x11_focus.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#if KESTREYE_HAVE_X11
// Only Xlib's types and declarations: the library itself is loaded when a
// scan first needs it (a tie between applications, the advice line), so
// that a scan on Wayland, or one that the bus alone decides, never loads it.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <dlfcn.h>
#endif

namespace kestreye::atspi {

bool waylandSession() {
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* type = std::getenv("XDG_SESSION_TYPE");
  return (wayland != nullptr && wayland[0] != '\0') ||
         (type != nullptr && std::strcmp(type, "wayland") == 0);
}

bool xServerRunning(const std::string& display, const std::string& proc) {
  const size_t colon = display.rfind(':');
  if (colon == std::string::npos) return false;
  const std::string host = display.substr(0, colon);
  // A server reached over the network is not one a local compositor starts.
  if (!host.empty() && host != "unix") return true;
  std::string number;
  for (size_t i = colon + 1; i < display.size() && display[i] != '.'; ++i) {
    if (display[i] < '0' || display[i] > '9') return false;
    number += display[i];
  }
  if (number.empty()) return false;
  const std::string wanted = ":" + number;
  DIR* dir = opendir(proc.c_str());
  if (dir == nullptr) return false;
  bool found = false;
  while (!found) {
    const dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    const char* name = entry->d_name;
    if (name[0] < '0' || name[0] > '9') continue;
    std::ifstream file(proc + "/" + name + "/cmdline", std::ios::binary);
    const std::string cmdline((std::istreambuf_iterator<char>(file)),
                              std::istreambuf_iterator<char>());
    // An X server (Xwayland, Xorg, Xvfb, ...) named with the display.
    size_t start = 0;
    bool server = false;
    for (size_t end = 0; end <= cmdline.size() && !found; ++end) {
      if (end < cmdline.size() && cmdline[end] != '\0') continue;
      const std::string_view arg(cmdline.data() + start, end - start);
      if (start == 0) {
        const size_t slash = arg.rfind('/');
        const std::string_view base =
            slash == std::string_view::npos ? arg : arg.substr(slash + 1);
        server = !base.empty() && base[0] == 'X';
        if (!server) break;
      } else if (arg == wanted) {
        found = true;
      }
      start = end + 1;
    }
  }
  closedir(dir);
  return found;
}

#if KESTREYE_HAVE_X11

namespace {

// The Xlib functions used, from libX11 loaded at first use; null when it
// cannot be loaded.
struct Xlib {
  decltype(&::XOpenDisplay) openDisplay;
  decltype(&::XCloseDisplay) closeDisplay;
  decltype(&::XSetErrorHandler) setErrorHandler;
  decltype(&::XSetIOErrorHandler) setIOErrorHandler;
  decltype(&::XSetIOErrorExitHandler) setIOErrorExitHandler;
  decltype(&::XInternAtom) internAtom;
  decltype(&::XGetWindowProperty) getWindowProperty;
  decltype(&::XFree) free;
  decltype(&::XGetInputFocus) getInputFocus;
  decltype(&::XQueryTree) queryTree;
};

template <class F>
bool load(void* library, const char* name, F& out) {
  out = reinterpret_cast<F>(dlsym(library, name));
  return out != nullptr;
}

const Xlib* xlib() {
  static const Xlib* loaded = []() -> const Xlib* {
    void* library = dlopen("libX11.so.6", RTLD_LAZY | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    static Xlib x;
    if (!load(library, "XOpenDisplay", x.openDisplay) ||
        !load(library, "XCloseDisplay", x.closeDisplay) ||
        !load(library, "XSetErrorHandler", x.setErrorHandler) ||
        !load(library, "XSetIOErrorHandler", x.setIOErrorHandler) ||
        !load(library, "XSetIOErrorExitHandler", x.setIOErrorExitHandler) ||
        !load(library, "XInternAtom", x.internAtom) ||
        !load(library, "XGetWindowProperty", x.getWindowProperty) ||
        !load(library, "XFree", x.free) ||
        !load(library, "XGetInputFocus", x.getInputFocus) ||
        !load(library, "XQueryTree", x.queryTree)) {
      dlclose(library);
      return nullptr;
    }
    return &x;
  }();
  return loaded;
}

// Xlib's default error handler ends the process; a window that goes away
// between two requests is no reason to. Neither handler prints anything:
// standard error is the host's, and the X server is not what it asked for.
int ignoreXError(Display*, XErrorEvent*) { return 0; }
int ignoreXIOError(Display*) { return 0; }
void keepRunning(Display*, void*) {}

// A display to read from, or null. On a Wayland session the compositor may
// start XWayland on the first connection to its socket (sway does), so no
// connection is made unless an X server for DISPLAY already runs. libxcb
// writes a refused connection's reason ("Authorization required, ...")
// straight to file descriptor 2, so standard error points at /dev/null
// while the connection is set up.
Display* openDisplay() {
  const char* name = std::getenv("DISPLAY");
  if (name == nullptr || name[0] == '\0') return nullptr;
  if (waylandSession() && !xServerRunning(name, "/proc")) return nullptr;
  const Xlib* x = xlib();
  if (x == nullptr) return nullptr;
  x->setErrorHandler(ignoreXError);
  x->setIOErrorHandler(ignoreXIOError);
  const int saved = dup(STDERR_FILENO);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (saved >= 0 && null >= 0) dup2(null, STDERR_FILENO);
  Display* display = x->openDisplay(nullptr);
  if (saved >= 0 && null >= 0) dup2(saved, STDERR_FILENO);
  if (null >= 0) close(null);
  if (saved >= 0) close(saved);
  // Should the server go away mid-request, Xlib would end the process.
  if (display != nullptr) {
    x->setIOErrorExitHandler(display, keepRunning, nullptr);
  }
  return display;
}

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
  if (xlib()->getWindowProperty(display, window, property, 0, 1, False,
                                wantedType, &type, &format, &count, &remaining,
                                &data) == Success &&
      type == wantedType && format == 32 && count == 1) {
    result = *reinterpret_cast<unsigned long*>(data);
  }
  if (data != nullptr) xlib()->free(data);
  return result;
}

}  // namespace

std::optional<std::string> x11AccessibilityBusAddress() {
  // The bus launcher sets the property on X11 sessions only.
  if (waylandSession()) return std::nullopt;
  Display* display = openDisplay();
  if (display == nullptr) return std::nullopt;
  std::optional<std::string> address;
  const Atom property = xlib()->internAtom(display, "AT_SPI_BUS", True);
  Atom type = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long remaining = 0;
  unsigned char* data = nullptr;
  if (property != None &&
      xlib()->getWindowProperty(display, DefaultRootWindow(display), property,
                                0, 4096, False, XA_STRING, &type, &format,
                                &count, &remaining, &data) == Success &&
      type == XA_STRING && format == 8 && count > 0) {
    address.emplace(reinterpret_cast<const char*>(data), count);
  }
  if (data != nullptr) xlib()->free(data);
  xlib()->closeDisplay(display);
  return address;
}

std::optional<int32_t> x11FocusedProcessId() {
  Display* display = openDisplay();
  if (display == nullptr) return std::nullopt;
  const Window root = DefaultRootWindow(display);
  std::optional<int32_t> pid;
  const Atom wmPid = xlib()->internAtom(display, "_NET_WM_PID", True);
  if (wmPid != None) {
    // A window manager names the active window; without one, the focus is
    // wherever the last client put it.
    const Atom active = xlib()->internAtom(display, "_NET_ACTIVE_WINDOW", True);
    std::optional<Window> window;
    if (active != None) window = longProperty(display, root, active, XA_WINDOW);
    if (!window.has_value() || *window == None) {
      Window focus = None;
      int revert = 0;
      xlib()->getInputFocus(display, &focus, &revert);
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
      if (!pid.has_value() &&
          xlib()->queryTree(display, *window, &rootReturn, &parent, &children,
                            &childCount) != 0) {
        if (children != nullptr) xlib()->free(children);
        window = parent;
      } else if (!pid.has_value()) {
        window.reset();
      }
    }
  }
  xlib()->closeDisplay(display);
  return pid;
}

#else

std::optional<int32_t> x11FocusedProcessId() { return std::nullopt; }

std::optional<std::string> x11AccessibilityBusAddress() { return std::nullopt; }

#endif

}  // namespace kestreye::atspi
