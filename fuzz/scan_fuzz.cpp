// libFuzzer target: any bytes as a fixture; whatever loads is scanned, and the
// reply must be exactly one line of valid UTF-8.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "text/text.h"
#include "cli/scan.h"
#include "platform/memory/memory_platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view json(reinterpret_cast<const char*>(data), size);
  std::string error;
  if (!kestreye::memory::loadFixtureText(json, "fuzz", &error)) return 0;
  char* reply = nullptr;
  size_t length = 0;
  std::FILE* capture = open_memstream(&reply, &length);
  std::FILE* saved = stdout;
  stdout = capture;
  kestreye::scan();
  stdout = saved;
  std::fclose(capture);
  const std::string line(reply, length);
  std::free(reply);
  if (line.empty() || line.find('\n') != line.size() - 1 ||
      !kestreye::isValidUtf8(line)) {
    std::abort();
  }
  kestreye::memory::reset();
  return 0;
}
