// The command-line contract, checked on the kestreye-replay binary: the reply
// on stdout, log lines on stderr and the exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
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

  // Runs kestreye-replay with exactly these words, no shell in between, and
  // with at most `addressSpace` bytes of memory when that is not zero.
  Outcome replay(std::vector<std::string> words, rlim_t addressSpace = 0) {
    words.insert(words.begin(), KESTREYE_REPLAY);
    const std::string outPath = dir_ + "/out";
    const std::string errPath = dir_ + "/err";
    const pid_t child = fork();
    if (child == 0) {
      const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(out, 1);
      dup2(err, 2);
      if (addressSpace != 0) {
        const rlimit limit{addressSpace, addressSpace};
        setrlimit(RLIMIT_AS, &limit);
      }
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

TEST_F(ReplayTest, ScanOfTheSampleFormLogsItsLength) {
  const Outcome run = replay({sample(), "scan"});
  EXPECT_EQ(run.status, 0);
  const auto json = reply(run);
  EXPECT_EQ(json["success"], true);
  const std::string block = json["ui_block"];
  EXPECT_EQ(block.find("hunter2"), std::string::npos);
  // The block holds one "←", three bytes and one character.
  EXPECT_EQ(run.err, "[kestreye] scan complete: " +
                         std::to_string(block.size() - 2) + " chars\n");
}

TEST_F(ReplayTest, CommandWordsAndExitStatuses) {
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
      {{"sc\xFF"}, 1, "Unknown command: sc\xEF\xBF\xBD"},
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

TEST_F(ReplayTest, FailedScansExitZeroWithOneLogLine) {
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
  EXPECT_EQ(none.err, "[kestreye] No frontmost app\n");
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

TEST_F(ReplayTest, FixtureTooLargeForItsLimitOrForMemoryIsRefused) {
  const std::string big = write("big.json", "");
  ASSERT_EQ(truncate(big.c_str(), (off_t{256} << 20) + 1), 0);
  const Outcome over = replay({big, "scan"});
  EXPECT_EQ(over.status, 2);
  EXPECT_EQ(over.out, "");
  EXPECT_EQ(over.err, "kestreye-replay: " + big +
                          ": larger than the 256 MiB a fixture may hold\n");
#ifndef __SANITIZE_ADDRESS__  // the sanitizer reserves terabytes up front
  // 24 MB of empty elements grow to far more than 160 MiB once parsed.
  std::string many = R"({"elements": [{"children": [{})";
  many.reserve(24 << 20);
  while (many.size() < (24 << 20)) many += ",{}";
  const std::string path = write("many.json", many + "]}]}");
  const Outcome starved = replay({path, "scan"}, rlim_t{160} << 20);
  EXPECT_EQ(starved.status, 2);
  EXPECT_EQ(starved.out, "");
  EXPECT_EQ(starved.err,
            "kestreye-replay: " + path + ": not enough memory to load it\n");
#endif
}

// Every read a scan makes, counted: the budget the accessors, the walks and
// the block are written to.
TEST_F(ReplayTest, CountReadsGivesTheReadsOfTheScan) {
  const std::string tree = write("reads.json", R"({"frontmost": 7,
    "applications": {"7": "app"}, "elements": [
    {"id": "app", "attributes": {"AXFocusedWindow": {"element": "win"},
       "AXFocusedUIElement": {"element": "email"}}, "children": [
     {"id": "win", "attributes": {"AXRole": "AXWindow"}, "children": [
      {"id": "pane", "attributes": {"AXRole": "AXGroup", "AXTitle": "Pane",
         "AXChildren": {"array": [{"element": "email"}, {"number": 1}, {"element": "ok"}]}},
       "children": [
        {"id": "email", "attributes": {"AXRole": "AXTextField", "AXValue": "ann",
           "AXPosition": {"point": [0, 0]}, "AXSize": {"size": [100, 20]},
           "AXSelectedTextRange": {"range": [3, 0]}}},
        {"id": "ok", "attributes": {"AXRole": "AXButton", "AXTitle": "OK",
           "AXPosition": {"point": [0, 40]}, "AXSize": {"size": [40, 20]}}}]}]}]}]})");
  const Outcome plain = replay({tree, "scan"});
  const Outcome counted = replay({"--count-reads", tree, "scan"});
  EXPECT_EQ(counted.out, plain.out);
  // Focused window and element and its frame: 4. Window walk: the window's
  // children, the pane's role, focus and children, then role, focus and
  // children of each entry, with the field's frame: 1 + 3 + 5 + 3 + 3 = 15.
  // Container label: parent, role and all three labels: 5. Ancestor climb:
  // parent and role, the pane's children, each entry's role and children, the
  // two controls' frame and focus, then the next parent and its role:
  // 2 + 1 + 5 + 2 + 5 + 2 = 17. The block: the role, nine reads for the
  // focused line, three for the cursor, nine for the one form field, title
  // and description of the two actions: 1 + 9 + 3 + 9 + 4 = 26.
  EXPECT_EQ(counted.err, plain.err + "attribute reads: 67\n");
  const Outcome untrusted =
      replay({"--count-reads", write("untrusted.json", R"({"trusted": false})"),
              "scan"});
  EXPECT_EQ(untrusted.err.substr(untrusted.err.find("attribute reads")),
            "attribute reads: 0\n");
}

}  // namespace
