#include "platform/atspi/bus/test_bus.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

extern char** environ;

namespace kestreye::atspi::bus::testbed {

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
  if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ) != 0)
    pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  char c = 0;
  while (read(pipeFds[0], &c, 1) == 1 && c != '\n') firstLine += c;
  close(pipeFds[0]);
}

Child::~Child() {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

PrivateBus::PrivateBus() {
  char folder[] = "/tmp/kestreye-bus-test-XXXXXX";
  if (mkdtemp(folder) == nullptr) return;
  folder_ = folder;
  // Nothing but a socket in the folder: no services to activate, every call
  // allowed, and the daemon's default of 128 calls awaiting answers.
  std::ofstream(folder_ + "/bus.conf")
      << "<busconfig><listen>unix:path=" << folder_
      << "/bus</listen><policy context=\"default\">"
         "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/>"
         "<allow own=\"*\"/>"
         "</policy></busconfig>\n";
  daemon_.emplace(std::vector<std::string>{
      KESTREYE_DBUS_DAEMON, "--nofork",
      "--config-file=" + folder_ + "/bus.conf", "--print-address=1"});
  address_ = daemon_->firstLine;
}

PrivateBus::~PrivateBus() {
  daemon_.reset();
  std::error_code ignored;
  if (!folder_.empty()) std::filesystem::remove_all(folder_, ignored);
}

FakeApp::FakeApp(const PrivateBus& bus, const std::string& socket,
                 const std::vector<std::string>& more)
    : process_([&] {
        std::vector<std::string> argv{KESTREYE_FAKE_APP, bus.address(), socket,
                                      bus.folder()};
        argv.insert(argv.end(), more.begin(), more.end());
        return argv;
      }()) {}

ClientOptions optionsFor(const PrivateBus& bus) {
  ClientOptions options;
  options.accessibilityBusAddress = bus.address();
  return options;
}

}  // namespace kestreye::atspi::bus::testbed
