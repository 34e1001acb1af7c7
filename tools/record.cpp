// kestreye-record OUT.json: runs one live scan over the AT-SPI platform exactly
// as `kestreye scan` would (the same reply line on standard output, the same
// exit status) and writes everything the scan read to OUT.json as a fixture,
// which `kestreye-replay OUT.json scan` answers with the same reply.
#include <cstdio>
#include <string>

#include "cli/entry.h"
#include "platform/backend.h"
#include "platform/record/recorder.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: kestreye-record OUT.json\n", stderr);
    return 2;
  }
  kestreye::record::setBackend(kestreye::atspi::backend());
  char command[] = "scan";
  char* args[] = {argv[0], command, nullptr};
  const int status = kestreye::kestreyeMain(2, args);
  std::string error;
  if (!kestreye::record::writeFixture(argv[1], &error)) {
    std::fprintf(stderr, "kestreye-record: %s\n", error.c_str());
    return 2;
  }
  return status;
}
