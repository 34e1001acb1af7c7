// kestreye-mcp-replay FIXTURE: serves MCP exactly as kestreye-mcp would, with
// the memory platform on the fixture; every scan reads the same tree.
#include <cstdio>
#include <string>

#include "mcp/serve.h"
#include "platform/memory/memory_platform.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: kestreye-mcp-replay FIXTURE\n", stderr);
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
