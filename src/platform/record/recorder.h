// The recording layer: a platform that stands in front of any other, forwards
// every call to it, and remembers each answer, so that one live scan can be
// written down as a fixture and replayed byte for byte by the memory
// platform.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/memory/fixture_writer.h"
#include "platform/platform.h"

namespace kestreye::record {

/// Forwards to the platform it wraps and records what that one answered.
class Recorder final : public Platform {
 public:
  /// Records what `inner` answers; `inner` must outlive the recorder.
  explicit Recorder(Platform& inner) : inner_(inner) {}
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;
  ~Recorder() override;

  /// Forgets everything recorded and gives back every element held.
  void reset();
  /// Everything read since the last reset, as the text of a fixture file.
  std::string fixtureJson() const;
  /// Writes fixtureJson() to a file; on failure `error` says why.
  bool writeFixture(const std::string& path, std::string* error) const;

  /// Forwards a retain to the wrapped platform.
  void retain(ElementRef ref) override;
  /// Forwards a release to the wrapped platform.
  void release(ElementRef ref) override;
  /// Reads through the wrapped platform and records the element, the name
  /// and the answer.
  AttributeRead copyAttribute(const Element& element,
                              std::string_view attribute) override;
  /// Asks the wrapped platform and records the answer.
  bool isProcessTrusted() override;
  /// Asks the wrapped platform and records the answer.
  std::optional<int32_t> frontmostProcessId() override;
  /// Asks the wrapped platform and records which element the process id gave.
  Element applicationElement(int32_t pid) override;
  /// Forwards a log line; log lines are not recorded.
  void logLine(std::string_view line) override;
  /// Forwards the start of a scan.
  void beginScan(ScanDeadline readsEnd) override;
  /// Forwards the end of a scan; the recording is kept.
  void endScan() override;

 private:
  size_t indexOf(const Element& element);

  Platform& inner_;
  memory::FixtureContents contents_;
  // One handle per recorded element, held until reset, so that no other
  // element can take over its address (the key under which it is found
  // again) while the scan runs.
  std::vector<Element> handles_;
  std::unordered_map<ElementRef, size_t> indexByRef_;
};

}  // namespace kestreye::record
