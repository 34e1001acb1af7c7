// The command-line contract, checked on the kestreye-replay binary: the reply
// on stdout, log lines on stderr and the exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

std::string slurp(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

class ReplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kestreye-replay-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const auto& path : files_) unlink(path.c_str());
    unlink((dir_ + "/out").c_str());
    unlink((dir_ + "/err").c_str());
    rmdir(dir_.c_str());
  }

  std::string write(const std::string& name, const std::string& text) {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    files_.push_back(path);
    return path;
  }

  // Runs kestreye-replay with exactly these words, no shell in between.
  Outcome replay(std::vector<std::string> words) {
    words.insert(words.begin(), KESTREYE_REPLAY);
    const std::string outPath = dir_ + "/out";
    const std::string errPath = dir_ + "/err";
    const pid_t child = fork();
    if (child == 0) {
      const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(out, 1);
      dup2(err, 2);
      std::vector<char*> argv;
      for (auto& word : words) argv.push_back(word.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    int raw = 0;
    waitpid(child, &raw, 0);
    return Outcome{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(outPath),
                   slurp(errPath)};
  }

  // The reply must be exactly one line of JSON with the two members.
  static nlohmann::json reply(const Outcome& run) {
    EXPECT_FALSE(run.out.empty());
    EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << run.out;
    auto json = nlohmann::json::parse(run.out, nullptr, false);
    EXPECT_TRUE(json.is_object()) << run.out;
    if (!json.is_object()) return json;
    EXPECT_EQ(json.size(), 2u);
    EXPECT_TRUE(json["success"].is_boolean());
    return json;
  }

  std::string sample() {
    return std::string(KESTREYE_SOURCE_DIR) + "/examples/sign-in.json";
  }

  std::string dir_;
  std::vector<std::string> files_;
};

TEST_F(ReplayTest, ScanOfTheSampleForm) {
  const Outcome run = replay({sample(), "scan"});
  EXPECT_EQ(run.status, 0);
  const auto json = reply(run);
  EXPECT_EQ(json["success"], true);
  const std::string block = json["ui_block"];
  EXPECT_EQ(
      block.substr(0, block.find('\n')),
      "Focused: [TextField] \"Email\" value: \"ann@example.org\" placeholder: "
      "\"name@example.org\" (FOCUSED) in \"Sign in\"");
  EXPECT_NE(block.find("cursor: \"ann|@example.org\" (pos 3/15, line 0)"),
            std::string::npos);
  EXPECT_EQ(block.find("hunter2"), std::string::npos);
  EXPECT_EQ(
      run.err,
      "[kestreye] scan complete: " +
          std::to_string(nlohmann::json(block).get<std::string>().size() - 2) +
          " chars\n");
}

TEST_F(ReplayTest, CountReadsAddsALastLine) {
  const Outcome plain = replay({sample(), "scan"});
  const Outcome counted = replay({"--count-reads", sample(), "scan"});
  EXPECT_EQ(counted.out, plain.out);
  EXPECT_EQ(counted.err.rfind(plain.err, 0), 0u);
  const std::string last = counted.err.substr(plain.err.size());
  ASSERT_EQ(last.rfind("attribute reads: ", 0), 0u) << last;
  EXPECT_GT(std::stoi(last.substr(17)), 50);
}

TEST_F(ReplayTest, CommandWords) {
  struct Case {
    std::vector<std::string> words;
    int status;
    std::string error;
  };
  const std::vector<Case> cases = {
      {{}, 1, "Usage: kestreye <scan>"},
      {{"SCAN"}, 1, "Unknown command: SCAN"},
      {{"Scan"}, 1, "Unknown command: Scan"},
      {{"scan "}, 1, "Unknown command: scan "},
      {{""}, 1, "Unknown command: "},
      {{"help", "scan"}, 1, "Unknown command: help"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> words{sample()};
    words.insert(words.end(), c.words.begin(), c.words.end());
    const Outcome run = replay(words);
    EXPECT_EQ(run.status, c.status);
    const auto json = reply(run);
    EXPECT_EQ(json["success"], false);
    EXPECT_EQ(json["error"], c.error);
    EXPECT_EQ(run.err, "");
  }
  const Outcome extra = replay({sample(), "scan", "--verbose", "x"});
  EXPECT_EQ(extra.status, 0);
  EXPECT_EQ(extra.out, replay({sample(), "scan"}).out);
}

TEST_F(ReplayTest, FailedScansStillExitZero) {
  const Outcome run =
      replay({write("untrusted.json", R"({"trusted": false})"), "scan"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "{\"success\":false,\"error\":\"Accessibility permission not "
            "granted\"}\n");
  EXPECT_EQ(run.err,
            "[kestreye] Not trusted \xE2\x80\x94 accessibility permission "
            "required\n");
  const Outcome none = replay({write("none.json", "{}"), "scan"});
  EXPECT_EQ(none.status, 0);
  EXPECT_EQ(none.out,
            "{\"success\":false,\"error\":\"No frontmost application\"}\n");
}

TEST_F(ReplayTest, UnloadableFixtureIsOneMessageAndStatusTwo) {
  const std::string path = write("bad.json", R"({"elements": [{"id": 5}]})");
  const Outcome run = replay({path, "scan"});
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "kestreye-replay: " + path +
                         ": /elements/0/id: must be a string\n");
  const Outcome missing = replay({});
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.out, "");
}

// A window whose focused field carries `fieldAttributes` and whose pane holds
// `paneExtra`.
std::string hostileFixture(const std::string& fieldAttributes,
                           const std::string& paneExtra) {
  return R"({"frontmost": 1, "applications": {"1": "app"}, "elements": [
    {"id": "app", "attributes": {"AXRole": "AXApplication",
       "AXFocusedWindow": {"element": "win"}, "AXFocusedUIElement": {"element": "field"}},
     "children": [{"id": "win", "attributes": {"AXRole": "AXWindow"}, "children": [
       {"id": "pane", "attributes": {"AXRole": "AXGroup", "AXTitle": "Pane")" +
         paneExtra + R"(}, "children": [
         {"id": "field", "attributes": {"AXRole": "AXTextField", "AXFocused": true,
            "AXPosition": {"point": [10, 10]}, "AXSize": {"size": [100, 20]})" +
         fieldAttributes + R"(}}]}]}]}]})";
}

TEST_F(ReplayTest, LoopingChildrenAnswerOneLine) {
  const Outcome run = replay(
      {write("loop.json",
             hostileFixture(
                 "",
                 R"(, "AXChildren": {"elements": ["pane", "field", "pane"]})")),
       "scan"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(reply(run)["success"], true);
}

TEST_F(ReplayTest, HugeTitleAnswersOneShortLine) {
  const std::string title(10 * 1024 * 1024, 'T');
  const Outcome run = replay(
      {write("huge.json",
             hostileFixture(
                 R"(, "AXTitle": ")" + title + R"(", "AXValue": ")" + title +
                     R"(", "AXSelectedTextRange": {"range": [5000000, 10]})",
                 "")),
       "scan"});
  EXPECT_EQ(run.status, 0);
  const auto json = reply(run);
  EXPECT_EQ(json["success"], true);
  EXPECT_LT(run.out.size(), 4096u);
}

TEST_F(ReplayTest, InvalidUtf8FromTheTreeIsRepaired) {
  const Outcome run = replay(
      {write("bytes.json",
             hostileFixture(R"(, "AXTitle": {"bytes": [69, 255, 109, 0, 97]})",
                            "")),
       "scan"});
  const auto json = reply(run);
  const std::string block = json["ui_block"];
  EXPECT_EQ(block.substr(0, 40),
            std::string("Focused: [TextField] \"E\xEF\xBF\xBDm\0a\"", 30) +
                " (FOCUSED)");
}

TEST_F(ReplayTest, TenThousandLevelsAnswerOneLine) {
  std::string nested;
  for (int i = 0; i < 10000; ++i)
    nested += R"({"attributes": {"AXRole": "AXGroup"}, "children": [)";
  nested +=
      R"({"id": "field", "attributes": {"AXRole": "AXTextField", "AXFocused": true,
      "AXPosition": {"point": [1, 1]}, "AXSize": {"size": [50, 20]}}})";
  for (int i = 0; i < 10000; ++i) nested += "]}";
  const std::string json =
      R"({"frontmost": 1, "applications": {"1": "app"}, "elements": [
    {"id": "app", "attributes": {"AXFocusedWindow": {"element": "win"},
       "AXFocusedUIElement": {"element": "field"}},
     "children": [{"id": "win", "attributes": {"AXRole": "AXWindow"}, "children": [)" +
      nested + "]}]}]}";
  const Outcome run = replay({write("deep.json", json), "scan"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(reply(run)["ui_block"], "Focused: [TextField] (FOCUSED)");
}

}  // namespace
