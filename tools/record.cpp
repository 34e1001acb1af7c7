// kestreye-record OUT.json: runs one live scan over the host's platform
// exactly as `kestreye scan` would (the same reply line on standard output,
// the same exit status) and writes everything the scan read to OUT.json as a
// fixture, which `kestreye-replay OUT.json scan` answers with the same reply.
#include <cstdio>
#include <string>

#include "cli/entry.h"
#include "platform/host_platform.h"
#include "platform/record/recorder.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: kestreye-record OUT.json\n", stderr);
    return 2;
  }
  const auto host = kestreye::makeHostPlatform();
  kestreye::record::Recorder recorder(*host);
  kestreye::installPlatform(recorder);
  char command[] = "scan";
  char* args[] = {argv[0], command, nullptr};
  const int status = kestreye::kestreyeMain(2, args);
  std::string error;
  if (!recorder.writeFixture(argv[1], &error)) {
    std::fprintf(stderr, "kestreye-record: %s\n", error.c_str());
    return 2;
  }
  return status;
}
