// One complete scan, from the permission check to the reply.
#pragma once

#include <atomic>
#include <chrono>

#include "scan/reply.h"
#include "scan/scan_state.h"

namespace kestreye {

/// Runs one scan of the installed platform and returns its reply, within the
/// scan's deadlines (the walks stop at the first, reads fail after the
/// second); the step it is in is kept in `step` when given. The platform
/// forgets what the scan learned before this returns.
Reply scanReply(const ScanDeadlines& deadlines =
                    ScanDeadlines::from(std::chrono::steady_clock::now()),
                std::atomic<ScanStep>* step = nullptr);

}  // namespace kestreye
