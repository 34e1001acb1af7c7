// The UI context block: a short, line-oriented text for a language model.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ax/accessors.h"
#include "ax/element_info.h"
#include "platform/platform.h"

namespace kestreye {

/// Builds the block from what one scan gathered around the focused element.
std::string formatForLLM(const Element& focused, Position focusedPos,
                         Extent focusedSize,
                         const std::optional<std::string>& containerLabel,
                         const std::vector<ElementInfo>& nearbyInputs,
                         const std::vector<ElementInfo>& nearbyButtons,
                         const std::vector<std::string>& nearbyTexts);

}  // namespace kestreye
