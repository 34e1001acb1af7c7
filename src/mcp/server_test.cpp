// What the SDK client test (tests/mcp) does not reach: other revisions,
// batches, scans counted, and faults neither it nor its raw lines write.
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
  std::vector<ScanOutcome> outcomes{{true, "one"}, {false, "No focus"}};
  int scans = 0;
  Server server{[this] { return outcomes[scans++ % outcomes.size()]; }, {}};

  std::optional<json> send(const std::string& line) {
    const auto reply = server.handleLine(line);
    if (!reply) return std::nullopt;
    EXPECT_EQ(reply->find('\n'), std::string::npos) << *reply;
    return json::parse(*reply);
  }
  json request(const std::string& method, const json& params) {
    return send(json{{"jsonrpc", "2.0"},
                     {"id", 1},
                     {"method", method},
                     {"params", params}}
                    .dump())
        .value_or(json());
  }
  json call(const json& arguments = json::object()) {
    return request("tools/call",
                   {{"name", "scan_ui_context"}, {"arguments", arguments}});
  }
  json initialize(const std::string& version) {
    return request("initialize",
                   {{"protocolVersion", version},
                    {"capabilities", json::object()},
                    {"clientInfo", {{"name", "t"}, {"version", "1"}}}});
  }
};

// Before 2025-06-18 a result has no structured content; before 2025-11-25
// unexpected arguments are a protocol error rather than the tool's.
TEST(McpServer, ShapesResultsByTheNegotiatedRevisionAndScansOnEveryCall) {
  for (const auto& [asked, answered] :
       std::vector<std::pair<std::string, std::string>>{
           {"2025-11-25", "2025-11-25"},
           {"2025-06-18", "2025-06-18"},
           {"2025-03-26", "2025-03-26"},
           {"2024-11-05", "2025-11-25"}}) {
    SCOPED_TRACE(asked);
    Session s;
    EXPECT_EQ(s.initialize(asked)["result"]["protocolVersion"], answered);
    const bool structured = answered != "2025-03-26";
    EXPECT_EQ(
        s.request("tools/list", json::object())["result"]["tools"][0].contains(
            "outputSchema"),
        structured);
    EXPECT_EQ(s.scans, 0);
    for (const auto& outcome : s.outcomes) {
      json result = s.call()["result"];
      EXPECT_EQ(result["content"][0]["text"], outcome.text);
      EXPECT_EQ(result["isError"], !outcome.success);
      EXPECT_EQ(result.contains("structuredContent"), structured);
    }
    json argued = s.call(json::object({{"x", 1}}));
    const bool toolError = answered == "2025-11-25";
    EXPECT_EQ(argued["result"]["isError"], toolError ? json(true) : json());
    EXPECT_EQ(argued["error"]["code"],
              toolError ? json() : json(kInvalidParams));
    EXPECT_EQ(s.scans, 2);
  }
}

// The SDK test writes its faults as text, where invalid UTF-8 cannot stand,
// and cannot see a scan that gives no reply.
TEST(McpServer, AnswersFaultsAndBatchesByTheRevision) {
  Session s;
  const auto invalid = s.send(
      "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\",\"x\":\"\xff\"}");
  ASSERT_TRUE(invalid.has_value());
  EXPECT_EQ(*invalid, json({{"jsonrpc", "2.0"},
                            {"id", nullptr},
                            {"error", (*invalid)["error"]}}));
  EXPECT_EQ((*invalid)["error"]["code"], kParseError);
  EXPECT_EQ(
      s.send(
          R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"scan_ui_context"}})"),
      std::nullopt);
  EXPECT_EQ(s.scans, 0);
  // 2025-03-26 answers a batch, its requests in order and its notifications
  // not at all.
  s.initialize("2025-03-26");
  const auto batch = s.send(
      R"([{"jsonrpc":"2.0","id":"p","method":"ping"},)"
      R"({"jsonrpc":"2.0","method":"notifications/initialized"},)"
      R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"scan_ui_context"}},)"
      R"({"jsonrpc":"2.0","id":4,"method":"initialize","params":{}}])");
  ASSERT_TRUE(batch && batch->size() == 3) << (batch ? batch->dump() : "");
  EXPECT_EQ((*batch)[0],
            json::parse(R"({"jsonrpc":"2.0","id":"p","result":{}})"));
  EXPECT_EQ((*batch)[1]["result"]["content"][0]["text"], "one");
  EXPECT_EQ((*batch)[2]["error"]["code"], kInvalidRequest);
  EXPECT_EQ(s.send("[]").value_or(json())["error"]["code"], kInvalidRequest);
  EXPECT_EQ(s.send(R"([{"jsonrpc":"2.0","method":"notifications/cancelled"}])"),
            std::nullopt);
}

}  // namespace
}  // namespace kestreye::mcp
