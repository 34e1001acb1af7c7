// The label of the group, pane or section that holds the focused element.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/platform.h"

namespace kestreye {

/// The first title, description or label of at least 4 characters met among
/// the focused element's ancestors below the window, exactly as read.
std::optional<std::string> findContainerLabel(const Element& focused,
                                              int64_t maxLevels = 10);

}  // namespace kestreye
