// One element with its role, its frame in whole screen points and its focus
// flag, and the one-line description the block shows for it.
#pragma once

#include <cstdint>
#include <string>

#include "ax/accessors.h"
#include "platform/platform.h"

namespace kestreye {

/// One element as the walks and the block carry it.
struct ElementInfo {
  Element element;
  std::string
      role;  ///< "AXRole" when the record was made; empty when unreadable
  int64_t x = 0;
  int64_t y = 0;
  int64_t w = 0;
  int64_t h = 0;
  bool isFocused = false;

  /// The one-line description of `target` with this record's role and focus
  /// flag.
  std::string describeElement(const Element& target) const;
};

/// The record of the focused element: its role read now, the given frame,
/// and the focus flag set.
ElementInfo focusedRecord(const Element& focused, Position position,
                          Extent size);

}  // namespace kestreye
