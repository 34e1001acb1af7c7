// kestreye-replay [--count-reads] FIXTURE ARGS...: runs the tool exactly as
// `kestreye ARGS...` would, with the memory platform on the fixture.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/entry.h"
#include "platform/memory/memory_platform.h"

int main(int argc, char** argv) {
  int next = 1;
  bool countReads = false;
  if (next < argc && std::strcmp(argv[next], "--count-reads") == 0) {
    countReads = true;
    ++next;
  }
  if (next >= argc) {
    std::fputs("usage: kestreye-replay [--count-reads] FIXTURE [ARGS...]\n",
               stderr);
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
