// What one scan keeps while it runs. The driver makes one per scan and hands
// it to the walks; nothing of it outlives the scan.
#pragma once

#include <cstdint>

namespace kestreye {

/// The budget of one walk: entries gathered, counted against MAX_ELEMENTS,
/// and elements examined, counted against MAX_EXAMINED_ELEMENTS.
struct WalkBudget {
  int64_t elementCount = 0;
  int64_t examinedCount = 0;
};

/// Everything one scan keeps while it runs.
struct ScanState {
  WalkBudget walk;  ///< the current walk's budget; a new walk starts at zero
};

}  // namespace kestreye
