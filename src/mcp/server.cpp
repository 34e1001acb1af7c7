#include "mcp/server.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "text/json.h"
#include "text/write_all.h"

#ifndef KESTREYE_VERSION
#define KESTREYE_VERSION "0"
#endif

namespace kestreye::mcp {
namespace {

using nlohmann::json;

// The revision that still had JSON-RPC batches and no structured results.
constexpr std::string_view kBatchVersion = "2025-03-26";

constexpr std::string_view kDescription =
    "Reads what the user is looking at right now: the focused field or control "
    "of the frontmost application with its text, cursor and selection, the "
    "other fields of its form, the buttons and the labels around it, as a "
    "compact text block. Call it before you write into, or reason about, "
    "whatever the user is looking at or typing in, and again whenever the "
    "screen may have changed: every call reads the screen afresh.";

constexpr std::string_view kInstructions =
    "Call scan_ui_context to see the focused control of the user's frontmost "
    "application and what surrounds it.";

constexpr std::string_view kInputSchema =
    R"({"type":"object","properties":{},"additionalProperties":false})";

constexpr std::string_view kOutputSchema =
    R"({"type":"object","properties":{"success":{"type":"boolean"},)"
    R"("ui_block":{"type":"string"},"error":{"type":"string"}},)"
    R"("required":["success"],"additionalProperties":false})";

std::string idText(const json& id) {
  if (id.is_string()) return jsonString(id.get_ref<const std::string&>());
  return id.dump();
}

std::string result(std::string_view id, std::string_view body) {
  std::string out = R"({"jsonrpc":"2.0","id":)";
  out += id;
  out += R"(,"result":)";
  out += body;
  out += '}';
  return out;
}

bool isBlank(std::string_view line) {
  return std::all_of(line.begin(), line.end(), [](char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
  });
}

// Whether `object` has no member `key` or one of the given JSON type.
bool optionalOf(const json& object, const char* key, json::value_t type) {
  const auto it = object.find(key);
  return it == object.end() || it->type() == type;
}

bool stringAt(const json& object, const char* key) {
  const auto it = object.find(key);
  return it != object.end() && it->is_string();
}

}  // namespace

Server::Server(ScanFunction scan, LogFunction log)
    : scan_(std::move(scan)), log_(std::move(log)) {}

bool Server::structured() const { return version_ != kBatchVersion; }

std::string Server::error(std::string_view id, int code,
                          std::string_view message) {
  if (log_) log_("[kestreye-mcp] error " + std::to_string(code));
  std::string out = R"({"jsonrpc":"2.0","id":)";
  out += id;
  out += R"(,"error":{"code":)" + std::to_string(code) + R"(,"message":)";
  out += jsonString(message);
  out += "}}";
  return out;
}

std::string Server::overlongLine() {
  return error("null", kInvalidRequest,
               "Invalid Request: message longer than 1 MiB");
}

std::optional<std::string> Server::handleLine(std::string_view line) {
  if (isBlank(line)) return std::nullopt;
  // Without exceptions: a faulty text (invalid UTF-8 included) comes back
  // discarded.
  const json message = json::parse(line, nullptr, false);
  if (message.is_discarded()) return error("null", kParseError, "Parse error");
  if (!message.is_array()) return handleMessage(message, false);
  if (version_ != kBatchVersion || message.empty()) {
    return error("null", kInvalidRequest,
                 "Invalid Request: batches need protocol revision 2025-03-26");
  }
  std::vector<std::string> replies;
  for (const json& each : message) {
    if (auto reply = handleMessage(each, true)) {
      replies.push_back(std::move(*reply));
    }
  }
  if (replies.empty()) return std::nullopt;
  std::string out = "[";
  for (size_t i = 0; i < replies.size(); ++i) {
    if (i > 0) out += ',';
    out += replies[i];
  }
  out += ']';
  return out;
}

std::optional<std::string> Server::handleMessage(const json& message,
                                                 bool inBatch) {
  if (!message.is_object())
    return error("null", kInvalidRequest, "Invalid Request");
  const auto idIt = message.find("id");
  const bool hasId = idIt != message.end();
  if (hasId && !idIt->is_string() && !idIt->is_number()) {
    return error("null", kInvalidRequest, "Invalid Request: bad id");
  }
  const std::string id = hasId ? idText(*idIt) : "null";
  const auto version = message.find("jsonrpc");
  if (version == message.end() || *version != "2.0") {
    return error(id, kInvalidRequest,
                 "Invalid Request: jsonrpc must be \"2.0\"");
  }
  const auto method = message.find("method");
  if (method == message.end()) {
    // A reply from the client: this server sends no requests, so none is
    // awaited.
    const bool isReply =
        hasId && (message.contains("result") != message.contains("error"));
    if (isReply) return std::nullopt;
    return error(id, kInvalidRequest, "Invalid Request: no method");
  }
  if (!method->is_string()) {
    return error(id, kInvalidRequest,
                 "Invalid Request: method must be a string");
  }
  const auto paramsIt = message.find("params");
  static const json kNoParams = json::object();
  const json& params = paramsIt == message.end() ? kNoParams : *paramsIt;
  if (!params.is_structured()) {
    return error(id, kInvalidRequest,
                 "Invalid Request: params must be structured");
  }
  // Notifications get no reply, whatever they say: initialized and
  // cancelled need nothing from a server whose every call is synchronous.
  if (!hasId) return std::nullopt;
  return dispatch(id, method->get_ref<const std::string&>(), params, inBatch);
}

std::string Server::dispatch(const std::string& id, const std::string& method,
                             const json& params, bool inBatch) {
  const bool known = method == "initialize" || method == "ping" ||
                     method == "tools/list" || method == "tools/call";
  if (!known) return error(id, kMethodNotFound, "Method not found: " + method);
  if (!params.is_object()) {
    return error(id, kInvalidParams,
                 "Invalid params: params must be an object");
  }
  if (method == "initialize") {
    if (inBatch) {
      return error(id, kInvalidRequest,
                   "Invalid Request: initialize must not be part of a batch");
    }
    return initialize(id, params);
  }
  if (method == "ping") return result(id, "{}");
  if (method == "tools/list") return toolsList(id, params);
  return toolsCall(id, params);
}

std::string Server::initialize(const std::string& id, const json& params) {
  const bool valid =
      stringAt(params, "protocolVersion") && params.contains("capabilities") &&
      params["capabilities"].is_object() && params.contains("clientInfo") &&
      params["clientInfo"].is_object() &&
      stringAt(params["clientInfo"], "name") &&
      stringAt(params["clientInfo"], "version");
  if (!valid) {
    return error(id, kInvalidParams,
                 "Invalid params: initialize needs protocolVersion, "
                 "capabilities and clientInfo");
  }
  // A revision this server speaks is echoed; any other gets the newest, and
  // the client decides whether to go on.
  const auto& asked = params["protocolVersion"].get_ref<const std::string&>();
  const bool known =
      std::find(PROTOCOL_VERSIONS.begin(), PROTOCOL_VERSIONS.end(), asked) !=
      PROTOCOL_VERSIONS.end();
  version_ = known ? asked : std::string(PROTOCOL_VERSIONS.front());
  if (log_) log_("[kestreye-mcp] protocol " + version_);
  std::string body = R"({"protocolVersion":)" + jsonString(version_);
  body += R"(,"capabilities":{"tools":{"listChanged":false}})";
  body += R"(,"serverInfo":{"name":"kestreye-mcp","version":)" +
          jsonString(KESTREYE_VERSION) + "}";
  body += R"(,"instructions":)" + jsonString(kInstructions) + "}";
  return result(id, body);
}

std::string Server::toolsList(const std::string& id, const json& params) {
  // One page holds every tool, so no cursor was ever handed out.
  if (params.contains("cursor")) {
    return error(id, kInvalidParams, "Invalid params: unknown cursor");
  }
  std::string tool = R"({"name":)" + jsonString(TOOL_NAME);
  if (structured()) tool += R"(,"title":"Scan UI context")";
  tool += R"(,"description":)" + jsonString(kDescription);
  tool += R"(,"inputSchema":)";
  tool += kInputSchema;
  if (structured()) {
    tool += R"(,"outputSchema":)";
    tool += kOutputSchema;
  }
  tool += R"(,"annotations":{"readOnlyHint":true,"openWorldHint":false}})";
  return result(id, R"({"tools":[)" + tool + "]}");
}

std::string Server::toolsCall(const std::string& id, const json& params) {
  if (!stringAt(params, "name") ||
      !optionalOf(params, "arguments", json::value_t::object)) {
    return error(
        id, kInvalidParams,
        "Invalid params: tools/call needs a name and object arguments");
  }
  const auto& name = params["name"].get_ref<const std::string&>();
  if (name != TOOL_NAME) {
    return error(id, kInvalidParams, "Unknown tool: " + name);
  }
  ScanOutcome outcome;
  const bool hasArguments =
      params.contains("arguments") && !params["arguments"].empty();
  if (hasArguments) {
    // From 2025-11-25 on, arguments that do not fit are the tool's error, so
    // that the model can correct its call; before, a protocol error.
    if (version_ != PROTOCOL_VERSIONS.front() && !version_.empty()) {
      return error(id, kInvalidParams,
                   "Invalid params: scan_ui_context takes no arguments");
    }
    outcome = {false, "scan_ui_context takes no arguments"};
  } else {
    outcome = scan_();
  }
  const std::string text = jsonString(outcome.text);
  std::string body = R"({"content":[{"type":"text","text":)" + text + "}]";
  if (structured()) {
    body += outcome.success
                ? R"(,"structuredContent":{"success":true,"ui_block":)"
                : R"(,"structuredContent":{"success":false,"error":)";
    body += text + "}";
  }
  body += outcome.success ? R"(,"isError":false})" : R"(,"isError":true})";
  return result(id, body);
}

int serveLines(Server& server, int input, int output, const LogFunction& log) {
  std::string line;
  bool overlong = false;  // the current line passed the limit and is skipped
  auto finishLine = [&]() {
    std::optional<std::string> reply =
        overlong ? server.overlongLine() : server.handleLine(line);
    line.clear();
    overlong = false;
    return !reply || writeAll(output, *reply + "\n");
  };
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    const ssize_t n = ::read(input, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      if (log) log("[kestreye-mcp] cannot read standard input");
      return 1;
    }
    if (n == 0) {
      // A last message without its line feed still counts.
      if ((overlong || !line.empty()) && !finishLine()) return 1;
      return 0;
    }
    std::string_view chunk(buffer.data(), static_cast<size_t>(n));
    while (!chunk.empty()) {
      const size_t end = chunk.find('\n');
      const std::string_view piece = chunk.substr(0, end);
      if (!overlong && line.size() + piece.size() > MAX_LINE_BYTES) {
        overlong = true;
        line.clear();
      }
      if (!overlong) line.append(piece);
      if (end == std::string_view::npos) break;
      if (!finishLine()) {
        if (log) log("[kestreye-mcp] cannot write standard output");
        return 1;
      }
      chunk.remove_prefix(end + 1);
    }
  }
}

}  // namespace kestreye::mcp
