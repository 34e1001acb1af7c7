#include "mcp/serve.h"

#include <unistd.h>

#include <csignal>
#include <string_view>
#include <variant>

#include "mcp/server.h"
#include "platform/platform.h"
#include "scan/reply.h"
#include "scan/scan.h"

namespace kestreye::mcp {

int serveStdio() {
  // A host that has gone shows as a failed write rather than SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  // Protocol messages get a descriptor of their own and standard output
  // becomes standard error, so that nothing a library prints can reach the
  // host's end of the channel.
  const int protocol = ::dup(STDOUT_FILENO);
  if (protocol < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
    logLine("[kestreye-mcp] cannot set standard output aside");
    return 1;
  }
  const LogFunction log = [](std::string_view line) { logLine(line); };
  Server server(
      [] {
        const Reply reply = scanReply();
        if (const auto* found = std::get_if<SuccessResponse>(&reply)) {
          return ScanOutcome{true, found->ui_block};
        }
        return ScanOutcome{false, std::get<ErrorResponse>(reply).error};
      },
      log);
  const int status = serveLines(server, STDIN_FILENO, protocol, log);
  ::close(protocol);
  return status;
}

}  // namespace kestreye::mcp
