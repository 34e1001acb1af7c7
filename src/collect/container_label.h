// The label of the group, pane or section that holds the focused element.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "scan/scan_state.h"

namespace kestreye {

/// The first title, description or label of at least 4 characters met among
/// the focused element's ancestors below the window, exactly as read; the
/// climb stops when the scan's walks are over.
std::optional<std::string> findContainerLabel(const Element& focused,
                                              const ScanState& scan,
                                              int64_t maxLevels = 10);

}  // namespace kestreye
