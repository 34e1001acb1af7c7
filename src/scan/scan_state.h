// What one scan keeps while it runs. The driver makes one per scan and hands
// the walks their share of it; nothing of it outlives the scan.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "collect/walk_state.h"

namespace kestreye {

/// How long one scan may take: `kestreye scan` answers within it.
inline constexpr std::chrono::milliseconds SCAN_DEADLINE{2000};
/// When the walks stop, counted from the start of a scan; the block is then
/// built from what they read.
inline constexpr std::chrono::milliseconds WALKS_END{1300};
/// When reads of the accessibility service end, counted from the start.
inline constexpr std::chrono::milliseconds READS_END{1600};
/// When `kestreye scan` answers for a scan that a call still blocks; what is
/// left of SCAN_DEADLINE covers starting the process on a busy machine.
inline constexpr std::chrono::milliseconds WATCHDOG_AT{1800};

/// The moments of one scan, from WALKS_END and READS_END after its start.
struct ScanDeadlines {
  std::chrono::steady_clock::time_point walksEnd;
  std::chrono::steady_clock::time_point readsEnd;

  /// The deadlines of a scan that starts at `start`.
  static ScanDeadlines from(std::chrono::steady_clock::time_point start) {
    return {start + WALKS_END, start + READS_END};
  }
};

/// The step a scan is in, which tells the error reply that fits it.
enum class ScanStep : int {
  Starting,            ///< the bus or the platform is starting
  FindingApplication,  ///< the frontmost application is being found
  ReadingFocus,        ///< its focused element is being read
  Gathering,           ///< the walks and the block
};

/// Everything one scan keeps while it runs.
struct ScanState {
  ScanDeadlines deadlines =
      ScanDeadlines::from(std::chrono::steady_clock::now());
  WalkState walks{{}, deadlines.walksEnd};  ///< what the walks share
  std::atomic<ScanStep>* step = nullptr;  ///< where a watcher follows the step

  /// Tells the watcher, if any, that the scan has reached `next`.
  void enter(ScanStep next) const {
    if (step != nullptr) step->store(next);
  }
};

}  // namespace kestreye
