// What the walks of one scan share: the current walk's budget and the moment
// the walks must stop. The scan driver fills it in; nothing of it outlives
// the scan.
#pragma once

#include <chrono>
#include <cstdint>

namespace kestreye {

/// The budget of one walk: entries gathered, counted against MAX_ELEMENTS,
/// and elements examined, counted against MAX_EXAMINED_ELEMENTS.
struct WalkBudget {
  int64_t elementCount = 0;
  int64_t examinedCount = 0;
};

/// The walks' share of one scan.
struct WalkState {
  WalkBudget walk;  ///< the current walk's budget; a new walk starts at zero
  /// When the walks stop; the block is then built from what they read.
  std::chrono::steady_clock::time_point walksEnd =
      std::chrono::steady_clock::time_point::max();

  /// True once the walks must stop.
  bool walksOver() const {
    return std::chrono::steady_clock::now() >= walksEnd;
  }
};

}  // namespace kestreye
