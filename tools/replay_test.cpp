// What the command-line contract cases (tests/cases/cli) cannot hold, checked
// on the kestreye-replay binary: the reply on stdout, log lines on stderr and
// the exit status.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
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
  void TearDown() override {
    for (const auto& path : files_) unlink(path.c_str());
  }
  std::string write(const std::string& name, const std::string& text) {
    files_.push_back(::testing::TempDir() + "kestreye-replay-" +
                     std::to_string(getpid()) + "-" + name);
    std::ofstream(files_.back(), std::ios::binary) << text;
    return files_.back();
  }

  // Runs kestreye-replay with exactly these words, no shell in between, and
  // with at most `addressSpace` bytes of memory when that is not zero.
  Outcome replay(std::vector<std::string> words, rlim_t addressSpace = 0) {
    words.insert(words.begin(), KESTREYE_REPLAY);
    const std::string outPath = write("out", ""), errPath = write("err", "");
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

  std::vector<std::string> files_;
};

// Words a case file cannot hold; the rest of the contract is in
// tests/cases/cli.
TEST_F(ReplayTest, WordsNoCaseFileHoldsAreUnknownCommands) {
  for (const std::string word : {"", "sc\xFF"}) {
    const Outcome run = replay({write("none.json", "{}"), word});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              std::string("{\"success\":false,\"error\":\"Unknown command: ") +
                  (word.empty() ? "" : "sc\xEF\xBF\xBD") + "\"}\n");
    EXPECT_EQ(run.err, "");
  }
  EXPECT_EQ(replay({}).status, 2);
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

}  // namespace
