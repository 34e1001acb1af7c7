// The process entry, shared by kestreye and the tools that run it over
// another platform.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "scan/reply.h"
#include "scan/scan_state.h"

namespace kestreye {

/// What one command line comes to: the reply and the exit status.
struct CommandResult {
  Reply reply;
  int status = 0;
};

/// Runs the command of `args` (the program's name first) without printing; a
/// scan keeps `deadlines` and its step in `step` when given.
CommandResult runCommand(const std::vector<std::string>& args,
                         const ScanDeadlines& deadlines = ScanDeadlines::from(
                             std::chrono::steady_clock::now()),
                         std::atomic<ScanStep>* step = nullptr);

/// What the process does once its reply line is written.
enum class AfterReply {
  Return,  ///< returns the status, for a tool that goes on
  Exit,    ///< ends the process at once with the status
};

/// Runs the tool on its command line, prints the reply line and returns the
/// process's exit status. A scan is guarded by a ReplyWatchdog: its reply
/// comes before SCAN_DEADLINE, from the scan or from the watchdog.
int kestreyeMain(int argc, char** argv, AfterReply after = AfterReply::Return);

}  // namespace kestreye
