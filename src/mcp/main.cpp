#include "cli/tool_options.h"
#include "mcp/serve.h"
#include "platform/host_platform.h"

namespace {

const kestreye::ToolHelp kHelp{
    "kestreye-mcp",
    "usage: kestreye-mcp\n",
    "Serves the Model Context Protocol on standard input and output\n"
    "(JSON-RPC 2.0, one message per line) with one tool, scan_ui_context,\n"
    "which scans the focused control of the frontmost application as\n"
    "`kestreye scan` does, and ends with status 0 when its input ends. An\n"
    "agent host starts it from its configuration:\n"
    "  {\"mcpServers\": {\"kestreye\": {\"command\": \"kestreye-mcp\"}}}\n"
    "See kestreye-mcp(1).\n",
    {}};

}  // namespace

int main(int argc, char** argv) {
  const auto options = kestreye::readToolOptions(argc, argv, kHelp);
  if (options.exitStatus) return *options.exitStatus;
  const auto platform = kestreye::makeHostPlatform();
  kestreye::installPlatform(*platform);
  return kestreye::mcp::serveStdio();
}
