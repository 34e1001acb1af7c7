#include "cli/entry.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>

#include "scan/reply_watchdog.h"
#include "scan/scan.h"

namespace kestreye {
namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kLeakChecked = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kLeakChecked = true;
#else
constexpr bool kLeakChecked = false;
#endif
#else
constexpr bool kLeakChecked = false;
#endif

}  // namespace

CommandResult runCommand(const std::vector<std::string>& args,
                         const ScanDeadlines& deadlines,
                         std::atomic<ScanStep>* step) {
  if (args.size() < 2) {
    return {ErrorResponse{"Usage: kestreye <scan>"}, 1};
  }
  // Words after the command are ignored on every path.
  const std::string& command = args[1];
  if (command == "scan") return {scanReply(deadlines, step), 0};
  // The reply writer repairs a word that is not valid UTF-8.
  return {ErrorResponse{"Unknown command: " + command}, 1};
}

int kestreyeMain(int argc, char** argv, AfterReply after) {
  const auto start = std::chrono::steady_clock::now();
  const std::vector<std::string> args(argv, argv + argc);
  std::atomic<ScanStep> step{ScanStep::Starting};
  // Whatever a scan blocks in, the process answers before SCAN_DEADLINE.
  std::optional<ReplyWatchdog> watchdog;
  if (args.size() >= 2 && args[1] == "scan") {
    watchdog.emplace(start + WATCHDOG_AT, step);
  }
  const CommandResult result =
      runCommand(args, ScanDeadlines::from(start), &step);
  if (watchdog) {
    watchdog->writeClaimed(encodeReply(result.reply) + "\n");
  } else {
    outputReply(result.reply);
  }
  // The reply is out (written unbuffered, as the log lines are). What is
  // left of the process (the watchdog's thread, the scan's caches and
  // connections) is the kernel's to end: a host that waits for the process
  // to exit waits some 0.5 ms less. Under AddressSanitizer the process ends
  // as usual, so that its leak check runs.
  if (after == AfterReply::Exit && !kLeakChecked) {
    std::fflush(nullptr);
    _exit(result.status);
  }
  return result.status;
}

}  // namespace kestreye
