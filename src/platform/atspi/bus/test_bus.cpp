#include "platform/atspi/bus/test_bus.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

extern char** environ;

namespace kestreye::atspi::bus::testbed {
namespace {

using Clock = std::chrono::steady_clock;

// A configuration with nothing but a socket in `folder`: no services to
// activate, every call allowed, and room for the fake's million children.
std::string daemonConfig(const std::string& folder) {
  return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=)" +
         folder + R"(/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
  <limit name="max_message_size">134217728</limit>
  <limit name="max_incoming_bytes">1000000000</limit>
  <limit name="max_outgoing_bytes">1000000000</limit>
</busconfig>
)";
}

}  // namespace

Child::Child(const std::vector<std::string>& argv) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  std::vector<char*> args;
  for (const std::string& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) !=
      0) {
    pid_ = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  output_ = pipeFds[0];
}

Child::~Child() {
  if (output_ >= 0) close(output_);
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  // A child that ignores SIGTERM is killed after five seconds.
  for (int i = 0; i < 500; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    usleep(10'000);
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::optional<std::string> Child::readLine(std::chrono::milliseconds wait) {
  const auto until = Clock::now() + wait;
  while (true) {
    const size_t newline = buffered_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffered_.substr(0, newline);
      buffered_.erase(0, newline + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - Clock::now());
    pollfd entry{output_, POLLIN, 0};
    if (left.count() <= 0 ||
        poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
      return std::nullopt;
    }
    char chunk[256];
    const ssize_t n = read(output_, chunk, sizeof chunk);
    if (n <= 0) return std::nullopt;
    buffered_.append(chunk, static_cast<size_t>(n));
  }
}

PrivateBus::PrivateBus() {
  char folder[] = "/tmp/kestreye-bus-test-XXXXXX";
  if (mkdtemp(folder) == nullptr) return;
  folder_ = folder;
  const std::string config = folder_ + "/bus.conf";
  std::ofstream(config) << daemonConfig(folder_);
  daemon_.emplace(std::vector<std::string>{KESTREYE_DBUS_DAEMON, "--nofork",
                                           "--config-file=" + config,
                                           "--print-address=1"});
  address_ = daemon_->readLine(std::chrono::seconds(10)).value_or("");
}

PrivateBus::~PrivateBus() {
  daemon_.reset();
  if (!folder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
}

FakeApp::FakeApp(const PrivateBus& bus, const std::string& socket,
                 const std::vector<std::string>& more)
    : busAddress_(bus.address()), process_([&] {
        std::vector<std::string> argv{KESTREYE_FAKE_APP, bus.address(), socket,
                                      bus.folder()};
        argv.insert(argv.end(), more.begin(), more.end());
        return argv;
      }()) {
  name_ = process_.readLine(std::chrono::seconds(10)).value_or("");
}

std::optional<uint32_t> FakeApp::received(const std::string& path) const {
  sd_bus* connection = nullptr;
  if (sd_bus_new(&connection) < 0) return std::nullopt;
  std::optional<uint32_t> count;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  uint32_t value = 0;
  if (sd_bus_set_address(connection, busAddress_.c_str()) >= 0 &&
      sd_bus_set_bus_client(connection, 1) >= 0 &&
      sd_bus_start(connection) >= 0 &&
      sd_bus_call_method(connection, name_.c_str(), "/", "org.kestreye.Fake",
                         "Received", &error, &reply, "s", path.c_str()) >= 0 &&
      sd_bus_message_read(reply, "u", &value) > 0) {
    count = value;
  }
  sd_bus_error_free(&error);
  sd_bus_message_unref(reply);
  sd_bus_close_unref(connection);
  return count;
}

ClientOptions optionsFor(const PrivateBus& bus) {
  ClientOptions options;
  options.accessibilityBusAddress = bus.address();
  return options;
}

}  // namespace kestreye::atspi::bus::testbed
