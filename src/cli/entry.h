// The process entry, shared by kestreye and the tools that run it over
// another platform.
#pragma once

#include <string>
#include <vector>

#include "cli/reply.h"

namespace kestreye {

/// What one command line comes to: the reply and the exit status.
struct CommandResult {
  Reply reply;
  int status = 0;
};

/// Runs the command of `args` (the program's name first) without printing.
CommandResult runCommand(const std::vector<std::string>& args);

/// Runs the tool on its command line, prints the reply line and returns the
/// process's exit status.
int kestreyeMain(int argc, char** argv);

}  // namespace kestreye
