// kestreye-record OUT.json: runs one live scan over the host's platform
// exactly as `kestreye scan` would (the same reply line on standard output,
// the same exit status) and writes everything the scan read to OUT.json as a
// fixture, which `kestreye-replay OUT.json scan` answers with the same reply.
#include <cstdio>
#include <string>

#include "cli/entry.h"
#include "cli/tool_options.h"
#include "platform/host_platform.h"
#include "platform/record/recorder.h"

namespace {

constexpr char kUsage[] = "usage: kestreye-record OUT.json\n";

const kestreye::ToolHelp kHelp{
    "kestreye-record",
    kUsage,
    "Runs one live scan exactly as `kestreye scan` does (the same reply line\n"
    "on standard output, the same exit status) and writes everything the scan\n"
    "read to OUT.json as a fixture, which `kestreye-replay OUT.json scan`\n"
    "answers with the same reply: a bug report that becomes a test. The file\n"
    "holds the texts the scan read (never a password's): read it before you\n"
    "share it.\n"
    "See kestreye(1).\n",
    {}};

}  // namespace

int main(int argc, char** argv) {
  const auto options = kestreye::readToolOptions(argc, argv, kHelp);
  if (options.exitStatus) return *options.exitStatus;
  if (argc != 2) {
    std::fputs(kUsage, stderr);
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
