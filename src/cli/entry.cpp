#include "cli/entry.h"

#include <string>
#include <vector>

#include "cli/reply.h"
#include "cli/scan.h"

namespace kestreye {

int kestreyeMain(int argc, char** argv) {
  const std::vector<std::string> args(argv, argv + argc);
  if (args.size() < 2) {
    outputError("Usage: kestreye <scan>");
    return 1;
  }
  // Words after the command are ignored on every path.
  const std::string& command = args[1];
  if (command == "scan") {
    scan();
    return 0;
  }
  // The reply writer repairs a word that is not valid UTF-8.
  outputError("Unknown command: " + command);
  return 1;
}

}  // namespace kestreye
