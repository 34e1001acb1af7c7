// kestreye-replay [--count-reads] FIXTURE ARGS...: runs the tool exactly as
// `kestreye ARGS...` would, with the memory platform on the fixture. Options
// come before the fixture; the words after it are kestreye's.
#include <cstdio>
#include <string>
#include <vector>

#include "cli/entry.h"
#include "cli/tool_options.h"
#include "platform/memory/memory_platform.h"

namespace {

constexpr char kUsage[] =
    "usage: kestreye-replay [--count-reads] FIXTURE [ARGS...]\n";

const kestreye::ToolHelp kHelp{
    "kestreye-replay",
    kUsage,
    "Runs kestreye with ARGS (such as scan) over the accessibility tree of\n"
    "the fixture file FIXTURE, exactly as `kestreye ARGS...` runs on a live\n"
    "desktop: the reply on standard output, log lines on standard error, the\n"
    "same exit status. A fixture that cannot be loaded gives one message on\n"
    "standard error and exit status 2.\n"
    "The fixture format: docs/fixture-format.md. See kestreye(1).\n",
    {{"--count-reads", "end standard error with \"attribute reads: N\""}}};

}  // namespace

int main(int argc, char** argv) {
  const auto options = kestreye::readToolOptions(argc, argv, kHelp);
  if (options.exitStatus) return *options.exitStatus;
  const int next = options.operands;
  const bool countReads = !options.flags.empty();
  if (next >= argc) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const auto platform = kestreye::memory::makePlatform();
  kestreye::installPlatform(*platform);
  std::string error;
  if (!platform->loadFixtureFile(argv[next], &error)) {
    std::fprintf(stderr, "kestreye-replay: %s\n", error.c_str());
    return 2;
  }
  // The tool sees its own name and the words after the fixture.
  std::vector<char*> args{argv[0]};
  for (int i = next + 1; i < argc; ++i) args.push_back(argv[i]);
  args.push_back(nullptr);
  const int status =
      kestreye::kestreyeMain(static_cast<int>(args.size() - 1), args.data());
  for (const auto& line : platform->logLines()) {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  if (countReads) {
    std::fprintf(stderr, "attribute reads: %llu\n",
                 static_cast<unsigned long long>(platform->attributeReads()));
  }
  return status;
}
