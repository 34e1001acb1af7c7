// kestreye-mcp's process: the protocol on standard input and output, each
// tool call a scan of the installed platform.
#pragma once

namespace kestreye::mcp {

/// Serves MCP on standard input and output until input ends; the process's
/// exit status.
int serveStdio();

}  // namespace kestreye::mcp
