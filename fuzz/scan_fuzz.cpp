// libFuzzer target: any bytes as a fixture; whatever loads is scanned, and the
// reply must be one line of valid UTF-8.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/memory/memory_platform.h"
#include "scan/reply.h"
#include "scan/scan.h"
#include "text/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto platform = [] {
    auto made = kestreye::memory::makePlatform();
    kestreye::installPlatform(*made);
    return made;
  }();
  const std::string_view json(reinterpret_cast<const char*>(data), size);
  std::string error;
  if (!platform->loadFixtureText(json, "fuzz", &error)) return 0;
  const std::string line = kestreye::encodeReply(kestreye::scanReply());
  if (line.empty() || line.find('\n') != std::string::npos ||
      !kestreye::isValidUtf8(line)) {
    std::abort();
  }
  platform->reset();
  return 0;
}
