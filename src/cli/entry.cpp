#include "cli/entry.h"

#include "cli/scan.h"

namespace kestreye {

CommandResult runCommand(const std::vector<std::string>& args) {
  if (args.size() < 2) {
    return {ErrorResponse{"Usage: kestreye <scan>"}, 1};
  }
  // Words after the command are ignored on every path.
  const std::string& command = args[1];
  if (command == "scan") return {scanReply(), 0};
  // The reply writer repairs a word that is not valid UTF-8.
  return {ErrorResponse{"Unknown command: " + command}, 1};
}

int kestreyeMain(int argc, char** argv) {
  const CommandResult result =
      runCommand(std::vector<std::string>(argv, argv + argc));
  outputReply(result.reply);
  return result.status;
}

}  // namespace kestreye
