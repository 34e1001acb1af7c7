// The platform of the host the binary was built for, as chosen by CMake's
// KESTREYE_PLATFORM (memory, atspi or macos).
#pragma once

#include <memory>

#include "platform/platform.h"

namespace kestreye {

/// A new instance of the host's platform, for main to install.
std::unique_ptr<Platform> makeHostPlatform();

}  // namespace kestreye
