#include "cli/entry.h"

#include <chrono>
#include <optional>

#include "scan/reply_watchdog.h"
#include "scan/scan.h"

namespace kestreye {

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

int kestreyeMain(int argc, char** argv) {
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
  return result.status;
}

}  // namespace kestreye
