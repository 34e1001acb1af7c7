// kestreye-mcp-replay FIXTURE: serves MCP exactly as kestreye-mcp would, with
// the memory platform on the fixture; every scan reads the same tree.
#include <cstdio>
#include <string>

#include "cli/tool_options.h"
#include "mcp/serve.h"
#include "platform/memory/memory_platform.h"

namespace {

constexpr char kUsage[] = "usage: kestreye-mcp-replay FIXTURE\n";

const kestreye::ToolHelp kHelp{
    "kestreye-mcp-replay",
    kUsage,
    "Serves the Model Context Protocol exactly as kestreye-mcp does, every\n"
    "scan over the accessibility tree of the fixture file FIXTURE, for\n"
    "tests. A fixture that cannot be loaded gives one message on standard\n"
    "error and exit status 2.\n"
    "See kestreye-mcp(1).\n",
    {}};

}  // namespace

int main(int argc, char** argv) {
  const auto options = kestreye::readToolOptions(argc, argv, kHelp);
  if (options.exitStatus) return *options.exitStatus;
  if (argc != 2) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const auto platform = kestreye::memory::makePlatform();
  kestreye::installPlatform(*platform);
  std::string error;
  if (!platform->loadFixtureFile(argv[1], &error)) {
    std::fprintf(stderr, "kestreye-mcp-replay: %s\n", error.c_str());
    return 2;
  }
  const int status = kestreye::mcp::serveStdio();
  for (const auto& line : platform->logLines()) {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  return status;
}
