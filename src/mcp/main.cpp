#include "mcp/serve.h"
#include "platform/host_platform.h"

int main() {
  const auto platform = kestreye::makeHostPlatform();
  kestreye::installPlatform(*platform);
  return kestreye::mcp::serveStdio();
}
