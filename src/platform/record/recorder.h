// The recording layer: a platform that stands in front of any other, forwards
// every call to it, and remembers each answer, so that one live scan can be
// written down as a fixture and replayed byte for byte by the memory
// platform.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

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
  std::string fixtureJson();
  /// Writes fixtureJson() to a file; on failure `error` says why.
  bool writeFixture(const std::string& path, std::string* error);

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
  struct RecordedElement {
    std::string id;
    // Held until reset, so that no other element can take over its address
    // (the key under which it is found again) while the scan runs.
    Element handle;
    // Attribute name and the JSON of its first answer, in the order first
    // read.
    std::vector<std::pair<std::string, std::string>> attributes;
  };

  size_t indexOf(const Element& element);
  void appendElementId(std::string& out, const Element& element);
  void appendValue(std::string& out, const RawValue& value);
  std::string answerJson(const AttributeRead& read);

  Platform& inner_;
  std::optional<bool> trusted_;
  bool frontmostAsked_ = false;
  std::optional<int32_t> frontmost_;
  std::map<int32_t, size_t> applications_;  // process id -> element index
  std::vector<RecordedElement> elements_;
  std::unordered_map<ElementRef, size_t> indexByRef_;
};

}  // namespace kestreye::record
