// The rules every attribute read of the macOS platform goes through, kept
// apart from ApplicationServices so that every host tests them: the text of
// a secure text field is withheld, an application that stopped answering is
// not asked again, and the caret comes out in user-perceived characters.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "platform/platform.h"

namespace kestreye::macos {

/// The answer of one round trip that read several attributes.
struct MultiRead {
  int32_t code = kAxSuccess;  ///< the result of the call as a whole
  std::vector<AttributeRead>
      reads;  ///< on success, one per attribute, in order
};

/// The round trips to one element that a guarded read is built from.
struct ElementReads {
  /// Reads one attribute.
  std::function<AttributeRead(std::string_view attribute)> one;
  /// Reads several attributes in one round trip.
  std::function<MultiRead(std::span<const std::string_view> attributes)> many;
};

/// Process ids of the applications that stopped answering during one scan.
class UnresponsiveApps {
 public:
  /// Whether the process has stopped answering.
  bool contains(int32_t pid) const { return pids_.count(pid) != 0; }
  /// Remembers that the process has stopped answering.
  void add(int32_t pid) { pids_.insert(pid); }
  /// Forgets every process, as a new scan starts.
  void clear() { pids_.clear(); }

 private:
  std::unordered_set<int32_t> pids_;
};

/// Whether the attribute carries the text of a field (withheld when secure).
bool isWithheldWhenSecure(std::string_view attribute);

/// Reads `attribute` of an element owned by process `pid` (none when
/// unknown): secure text reads as unsupported, the selected-text range comes
/// in characters, a process in `unresponsive` fails at once, and no round
/// trip follows one that answered "cannot complete".
AttributeRead guardedRead(const ElementReads& reads, std::optional<int32_t> pid,
                          std::string_view attribute,
                          const UnresponsiveApps& unresponsive);

}  // namespace kestreye::macos
