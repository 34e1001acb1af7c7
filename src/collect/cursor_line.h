// The line that shows where the text cursor stands inside an element.
#pragma once

#include <optional>
#include <string>

#include "platform/platform.h"

namespace kestreye {

/// The text around the caret or selection with the position and line number,
/// or nothing when the element has no text or no selected-text range.
std::optional<std::string> cursorContextLine(const Element& element);

}  // namespace kestreye
