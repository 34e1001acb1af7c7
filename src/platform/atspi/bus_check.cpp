#include "platform/atspi/bus_check.h"

#include <dbus/dbus.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kestreye::atspi {
namespace {

using Clock = std::chrono::steady_clock;

int millisecondsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() <= 0 ? 0 : static_cast<int>(left.count());
}

// Waits for `events` on `fd` until the deadline.
bool waitFor(int fd, short events, Clock::time_point deadline) {
  while (true) {
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, millisecondsLeft(deadline));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

// Connects to a Unix socket by path or abstract name without blocking.
int connectUnix(const char* path, bool abstract, Clock::time_point deadline) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const size_t length = std::strlen(path);
  const size_t offset = abstract ? 1 : 0;
  if (length + offset >= sizeof address.sun_path) return -1;
  std::memcpy(address.sun_path + offset, path, length);
  const auto size = static_cast<socklen_t>(
      offsetof(sockaddr_un, sun_path) + offset + length + (abstract ? 0 : 1));
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), size) != 0 &&
      !((errno == EINPROGRESS || errno == EAGAIN) &&
        waitFor(fd, POLLOUT, deadline))) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends the opening of an EXTERNAL authentication and waits for the server's
// first line, whatever it says: an answer is all this check needs.
bool answersAuthentication(int fd, Clock::time_point deadline) {
  std::string hello("\0AUTH EXTERNAL ", 15);
  static const char kHex[] = "0123456789abcdef";
  for (const char digit : std::to_string(getuid())) {
    hello += kHex[static_cast<unsigned char>(digit) >> 4];
    hello += kHex[static_cast<unsigned char>(digit) & 0xF];
  }
  hello += "\r\n";
  size_t sent = 0;
  while (sent < hello.size()) {
    const ssize_t n =
        send(fd, hello.data() + sent, hello.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN && waitFor(fd, POLLOUT, deadline)) {
      continue;
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return false;
    }
  }
  std::string line;
  char buffer[256];
  while (line.find("\r\n") == std::string::npos) {
    if (!waitFor(fd, POLLIN, deadline)) return false;
    const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      line.append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      return false;
    }
  }
  return true;
}

struct AddressEntries {
  DBusAddressEntry** entries = nullptr;
  int count = 0;
  ~AddressEntries() {
    if (entries != nullptr) dbus_address_entries_free(entries);
  }
};

}  // namespace

bool busAnswers(std::string_view address, Clock::time_point deadline) {
  AddressEntries parsed;
  DBusError error;
  dbus_error_init(&error);
  const std::string text(address);
  if (!dbus_parse_address(text.c_str(), &parsed.entries, &parsed.count,
                          &error)) {
    dbus_error_free(&error);
    return false;
  }
  bool reachable = false;
  // libdbus takes the first entry it can connect to; so does this check.
  for (int i = 0; i < parsed.count; ++i) {
    DBusAddressEntry* entry = parsed.entries[i];
    if (std::strcmp(dbus_address_entry_get_method(entry), "unix") != 0) {
      reachable = true;
      continue;
    }
    const char* path = dbus_address_entry_get_value(entry, "path");
    const char* abstract = dbus_address_entry_get_value(entry, "abstract");
    const int fd = path != nullptr       ? connectUnix(path, false, deadline)
                   : abstract != nullptr ? connectUnix(abstract, true, deadline)
                                         : -1;
    if (fd < 0) continue;
    const bool answers = answersAuthentication(fd, deadline);
    close(fd);
    return answers;
  }
  return reachable;
}

std::optional<std::string> accessibilityBusFromSession(
    std::string_view sessionAddress, Clock::time_point deadline) {
  if (!busAnswers(sessionAddress, deadline)) return std::nullopt;
  DBusError error;
  dbus_error_init(&error);
  const std::string text(sessionAddress);
  DBusConnection* connection =
      dbus_connection_open_private(text.c_str(), &error);
  if (connection == nullptr) {
    dbus_error_free(&error);
    return std::nullopt;
  }
  dbus_connection_set_exit_on_disconnect(connection, FALSE);
  std::optional<std::string> found;
  // Registering (Hello) and asking, each with the time that is left: the
  // server has just answered, so neither waits on authentication.
  DBusMessage* hello = dbus_message_new_method_call(
      DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, "Hello");
  DBusMessage* registered = dbus_connection_send_with_reply_and_block(
      connection, hello, millisecondsLeft(deadline), &error);
  dbus_message_unref(hello);
  if (registered != nullptr) {
    dbus_message_unref(registered);
    DBusMessage* ask = dbus_message_new_method_call(
        "org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress");
    DBusMessage* answer = dbus_connection_send_with_reply_and_block(
        connection, ask, millisecondsLeft(deadline), &error);
    dbus_message_unref(ask);
    const char* address = nullptr;
    if (answer != nullptr &&
        dbus_message_get_args(answer, &error, DBUS_TYPE_STRING, &address,
                              DBUS_TYPE_INVALID) &&
        address != nullptr && address[0] != '\0') {
      found = address;
    }
    if (answer != nullptr) dbus_message_unref(answer);
  }
  dbus_error_free(&error);
  dbus_connection_close(connection);
  dbus_connection_unref(connection);
  return found;
}

}  // namespace kestreye::atspi
