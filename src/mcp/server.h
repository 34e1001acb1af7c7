// The Model Context Protocol side of kestreye-mcp: JSON-RPC 2.0 messages in,
// replies out, one line each. Knows nothing of any platform: the scan is a
// function handed in.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace kestreye::mcp {

/// What one scan gave the tool: the UI context block, or a failed scan's
/// message.
struct ScanOutcome {
  bool success = false;
  std::string text;
};

/// Runs one fresh scan of the desktop as it is now.
using ScanFunction = std::function<ScanOutcome()>;
/// Writes one diagnostic line somewhere other than the protocol channel.
using LogFunction = std::function<void(std::string_view)>;

/// The protocol revisions served, newest first.
inline constexpr std::array<std::string_view, 3> PROTOCOL_VERSIONS = {
    "2025-11-25", "2025-06-18", "2025-03-26"};

/// The one tool's name.
inline constexpr std::string_view TOOL_NAME = "scan_ui_context";

/// Longest message line accepted, in bytes, line feed not counted.
inline constexpr size_t MAX_LINE_BYTES = size_t{1} << 20;

/// JSON-RPC error codes.
enum ErrorCode : int {
  kParseError = -32700,
  kInvalidRequest = -32600,
  kMethodNotFound = -32601,
  kInvalidParams = -32602,
};

/// One MCP session over one connection: the negotiated revision and nothing
/// else.
class Server {
 public:
  Server(ScanFunction scan, LogFunction log);

  /// The reply line to one message line (no line feed), or none.
  std::optional<std::string> handleLine(std::string_view line);
  /// The reply to a line longer than MAX_LINE_BYTES, which was not read.
  std::string overlongLine();

 private:
  /// The reply to one message of a line, or none.
  std::optional<std::string> handleMessage(const nlohmann::json& message,
                                           bool inBatch);
  /// The result of a request, or an error reply when it holds an error.
  std::string dispatch(const std::string& id, const std::string& method,
                       const nlohmann::json& params, bool inBatch);
  std::string initialize(const std::string& id, const nlohmann::json& params);
  std::string toolsList(const std::string& id, const nlohmann::json& params);
  std::string toolsCall(const std::string& id, const nlohmann::json& params);
  /// An error reply, also written to the log by its code.
  std::string error(std::string_view id, int code, std::string_view message);
  /// Whether the revision knows structured tool results (2025-06-18 on).
  bool structured() const;

  ScanFunction scan_;
  LogFunction log_;
  std::string version_;  ///< the negotiated revision; empty before initialize
};

/// Serves the messages on `input` until its end, replies to `output`; the
/// process's exit status.
int serveLines(Server& server, int input, int output, const LogFunction& log);

}  // namespace kestreye::mcp
