// The label of the group, pane or section that holds the focused element.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "collect/walk_state.h"
#include "platform/platform.h"

namespace kestreye {

/// The first title, description or label of at least 4 characters met among
/// the focused element's ancestors below the window, exactly as read; the
/// climb stops when the scan's walks are over.
std::optional<std::string> findContainerLabel(const Element& focused,
                                              const WalkState& scan,
                                              int64_t maxLevels = 10);

}  // namespace kestreye
