#include "cli/entry.h"
#include "platform/host_platform.h"

int main(int argc, char** argv) {
  const auto platform = kestreye::makeHostPlatform();
  kestreye::installPlatform(*platform);
  return kestreye::kestreyeMain(argc, argv);
}
