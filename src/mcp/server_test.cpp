#include "mcp/server.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace kestreye::mcp {
namespace {

using nlohmann::json;

struct Session {
  std::vector<ScanOutcome> outcomes{
      {true, "Focused: [TextField] \"a/b\"\n\tx"}};
  int scans = 0;
  Server server{[this] { return outcomes[scans++ % outcomes.size()]; }, {}};

  std::optional<json> send(const std::string& line) {
    const auto reply = server.handleLine(line);
    if (!reply) return std::nullopt;
    EXPECT_EQ(reply->find('\n'), std::string::npos) << *reply;
    return json::parse(*reply);
  }
  json request(const std::string& method, const json& params, int id = 1) {
    const auto reply = send(json{
        {"jsonrpc", "2.0"},
        {"id", id},
        {"method", method},
        {"params", params}}.dump());
    EXPECT_TRUE(reply.has_value());
    return reply.value_or(json());
  }
  json initialize(const std::string& version) {
    return request("initialize",
                   {{"protocolVersion", version},
                    {"capabilities", json::object()},
                    {"clientInfo", {{"name", "t"}, {"version", "1"}}}});
  }
};

TEST(McpServer, NegotiatesTheRevisionAndShapesResultsByIt) {
  const struct {
    const char* asked;
    const char* answered;
  } cases[] = {{"2025-11-25", "2025-11-25"},
               {"2025-06-18", "2025-06-18"},
               {"2025-03-26", "2025-03-26"},
               {"2024-11-05", "2025-11-25"},
               {"2099-01-01", "2025-11-25"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.asked);
    Session s;
    const json init = s.initialize(c.asked);
    EXPECT_EQ(init["result"]["protocolVersion"], c.answered);
    EXPECT_EQ(init["result"]["capabilities"],
              json::parse(R"({"tools":{"listChanged":false}})"));
    const bool structured = std::string(c.answered) != "2025-03-26";
    const json tool =
        s.request("tools/list", json::object())["result"]["tools"][0];
    EXPECT_EQ(tool["name"], "scan_ui_context");
    EXPECT_EQ(tool.contains("outputSchema"), structured);
    const json call = s.request("tools/call", {{"name", "scan_ui_context"}});
    EXPECT_EQ(
        call["result"]["content"],
        json::parse(
            R"([{"type":"text","text":"Focused: [TextField] \"a/b\"\n\tx"}])"));
    EXPECT_EQ(call["result"]["isError"], false);
    EXPECT_EQ(call["result"].contains("structuredContent"), structured);
    if (structured) {
      EXPECT_EQ(call["result"]["structuredContent"],
                json({{"success", true},
                      {"ui_block", "Focused: [TextField] \"a/b\"\n\tx"}}));
    }
  }
}

TEST(McpServer, EveryCallScansAfreshAndReportsAFailedScanAsAToolError) {
  Session s;
  s.outcomes = {{true, "one"}, {false, "No focused element"}, {true, "two"}};
  s.initialize("2025-11-25");
  EXPECT_EQ(s.scans, 0);
  const char* texts[] = {"one", "No focused element", "two"};
  for (int i = 0; i < 3; ++i) {
    const json r =
        s.request("tools/call",
                  {{"name", "scan_ui_context"}, {"arguments", json::object()}},
                  i)["result"];
    EXPECT_EQ(r["content"][0]["text"], texts[i]);
    EXPECT_EQ(r["isError"], i == 1);
    EXPECT_EQ(r["structuredContent"]["success"], i != 1);
    EXPECT_EQ(r["structuredContent"][i == 1 ? "error" : "ui_block"], texts[i]);
  }
  EXPECT_EQ(s.scans, 3);
  // Unexpected arguments: the tool's error now, a protocol error before.
  const json argued = s.request(
      "tools/call", {{"name", "scan_ui_context"}, {"arguments", {{"x", 1}}}});
  EXPECT_EQ(argued["result"]["isError"], true);
  s.initialize("2025-06-18");
  EXPECT_EQ(
      s.request("tools/call", {{"name", "scan_ui_context"},
                               {"arguments", {{"x", 1}}}})["error"]["code"],
      kInvalidParams);
  EXPECT_EQ(s.scans, 3);
}

// The faults that the SDK client test does not already write to the server.
TEST(McpServer,
     AnswersFaultyMessagesWithTheirErrorAndNotificationsWithNothing) {
  const struct {
    const char* line;
    std::optional<int> code;  // none: no reply at all
    json id = nullptr;
  } cases[] = {
      {"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\",\"x\":\"\xff\"}",
       kParseError},
      {"42", kInvalidRequest},
      {"[]", kInvalidRequest},
      {R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])", kInvalidRequest},
      {R"({"jsonrpc":"2.0","id":true,"method":"ping"})", kInvalidRequest},
      {R"({"jsonrpc":"2.0","id":null,"method":"ping"})", kInvalidRequest},
      {R"({"jsonrpc":"2.0","id":7,"method":5})", kInvalidRequest, 7},
      {R"({"jsonrpc":"2.0","id":7,"method":"ping","params":"x"})",
       kInvalidRequest, 7},
      {R"({"jsonrpc":"2.0","id":"m","method":"resources/list"})",
       kMethodNotFound, "m"},
      {R"({"jsonrpc":"2.0","id":2,"method":"ping","params":[]})",
       kInvalidParams, 2},
      {R"({"jsonrpc":"2.0","id":2,"method":"tools/list","params":{"cursor":"x"}})",
       kInvalidParams, 2},
      {R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{}})",
       kInvalidParams, 2},
      {R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"scan_ui_context"}})",
       std::nullopt},
      {R"({"jsonrpc":"2.0","method":"no/such","params":[1]})", std::nullopt},
      {R"({"jsonrpc":"2.0","id":9,"result":{}})", std::nullopt},
      {"  \r", std::nullopt},
  };
  Session s;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const auto reply = s.send(c.line);
    ASSERT_EQ(reply.has_value(), c.code.has_value())
        << (reply ? reply->dump() : "");
    if (!reply) continue;
    EXPECT_EQ((*reply)["jsonrpc"], "2.0");
    EXPECT_EQ((*reply)["id"], c.id);
    EXPECT_EQ((*reply)["error"]["code"], *c.code);
    EXPECT_FALSE(reply->contains("result"));
  }
  EXPECT_EQ(s.scans, 0);
}

TEST(McpServer, AnswersABatchInRevision20250326) {
  Session s;
  s.initialize("2025-03-26");
  const auto reply = s.send(
      R"([{"jsonrpc":"2.0","id":"p","method":"ping"},)"
      R"({"jsonrpc":"2.0","method":"notifications/initialized"},)"
      R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"scan_ui_context"}},)"
      R"({"jsonrpc":"2.0","id":4,"method":"initialize","params":{}}])");
  ASSERT_TRUE(reply && reply->is_array() && reply->size() == 3)
      << (reply ? reply->dump() : "");
  EXPECT_EQ((*reply)[0],
            json::parse(R"({"jsonrpc":"2.0","id":"p","result":{}})"));
  EXPECT_EQ((*reply)[1]["result"]["content"][0]["text"], s.outcomes[0].text);
  EXPECT_EQ((*reply)[2]["error"]["code"], kInvalidRequest);
  EXPECT_EQ(s.send(R"([{"jsonrpc":"2.0","method":"notifications/cancelled"}])"),
            std::nullopt);
}

}  // namespace
}  // namespace kestreye::mcp
