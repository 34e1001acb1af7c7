#include "platform/atspi/bus_check.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/atspi/bus/client.h"

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

// One entry of a D-Bus address: its method and its decoded key=value pairs.
struct AddressEntry {
  std::string method;
  std::vector<std::pair<std::string, std::string>> values;
  const std::string* value(std::string_view key) const {
    for (const auto& [name, value] : values) {
      if (name == key) return &value;
    }
    return nullptr;
  }
};

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Undoes the %XX escapes of an address value; none when one is broken.
std::optional<std::string> unescape(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = hexDigit(text[i + 1]);
    const int low = hexDigit(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

// The entries of an address, separated by ';'; none when one is malformed.
std::optional<std::vector<AddressEntry>> parseAddress(std::string_view text) {
  std::vector<AddressEntry> entries;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = std::min(text.find(';', start), text.size());
    const std::string_view part = text.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    const size_t colon = part.find(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    AddressEntry entry;
    entry.method = std::string(part.substr(0, colon));
    std::string_view rest = part.substr(colon + 1);
    while (!rest.empty()) {
      const size_t comma = std::min(rest.find(','), rest.size());
      const std::string_view pair = rest.substr(0, comma);
      rest = comma < rest.size() ? rest.substr(comma + 1) : std::string_view();
      const size_t equals = pair.find('=');
      if (equals == std::string_view::npos || equals == 0) return std::nullopt;
      std::optional<std::string> value = unescape(pair.substr(equals + 1));
      if (!value.has_value()) return std::nullopt;
      entry.values.emplace_back(std::string(pair.substr(0, equals)),
                                std::move(*value));
    }
    entries.push_back(std::move(entry));
  }
  if (entries.empty()) return std::nullopt;
  return entries;
}

}  // namespace

bool busAnswers(std::string_view address, Clock::time_point deadline) {
  const std::optional<std::vector<AddressEntry>> entries =
      parseAddress(address);
  if (!entries.has_value()) return false;
  bool reachable = false;
  // A client takes the first entry it can connect to; so does this check.
  for (const AddressEntry& entry : *entries) {
    if (entry.method != "unix") {
      reachable = true;
      continue;
    }
    const std::string* path = entry.value("path");
    const std::string* abstract = entry.value("abstract");
    const int fd = path != nullptr ? connectUnix(path->c_str(), false, deadline)
                   : abstract != nullptr
                       ? connectUnix(abstract->c_str(), true, deadline)
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
  return bus::addressFromSession(std::string(sessionAddress), deadline);
}

}  // namespace kestreye::atspi
