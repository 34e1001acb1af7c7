// The one write loop of the programs' output channels (the reply line, the
// MCP messages): a line goes out whole or not at all.
#pragma once

#include <string_view>

namespace kestreye {

/// Writes all of `bytes` to `fd` with write(2), retrying short writes and
/// interruptions; false once a write fails otherwise.
bool writeAll(int fd, std::string_view bytes);

}  // namespace kestreye
