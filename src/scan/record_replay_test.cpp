// A scan through the recording layer, written as a fixture and replayed: what
// kestreye-record and kestreye-replay do, over every case.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "platform/memory/memory_platform.h"
#include "platform/record/recorder.h"
#include "scan/reply.h"
#include "scan/scan.h"

namespace kestreye {
namespace {

using Json = nlohmann::json;

std::string slurp(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// The recorder in front of the memory platform; the recorder gives its
// handles back before the tree goes.
class RecordReplayTest : public ::testing::Test {
 protected:
  void SetUp() override { installPlatform(recorder); }
  void TearDown() override {
    recorder.reset();
    tree.reset();
    EXPECT_EQ(tree.liveHandles(), 0);
  }
  // Loads a fixture file and scans it through the recorder; the reply line
  // as `kestreye scan` prints it.
  std::string recordScan(const std::string& path) {
    TearDown();
    std::string error;
    EXPECT_TRUE(tree.loadFixtureFile(path, &error)) << error;
    // The deadline is not what this test checks: a walk of 50,000 elements
    // through the recorder under a sanitizer on a loaded machine may run
    // past the scan's own.
    const auto later = std::chrono::steady_clock::now() + std::chrono::hours(1);
    return encodeReply(kestreye::scanReply(ScanDeadlines::from(later))) + "\n";
  }
  memory::MemoryPlatform tree;
  record::Recorder recorder{tree};
};

// Every case, recorded, written and replayed from the file, answers its
// expected reply byte for byte, and no recording holds a password.
TEST_F(RecordReplayTest, EveryCaseRecordedAndReplayedAnswersItsReply) {
  const std::string file = ::testing::TempDir() + "kestreye_recording_" +
                           std::to_string(getpid()) + ".json";
  int cases = 0;
  for (const auto& entry :
       std::filesystem::directory_iterator(KESTREYE_CASES_DIR)) {
    if (entry.path().extension() != ".json") continue;
    SCOPED_TRACE(entry.path().filename().string());
    ++cases;
    std::filesystem::path replyPath = entry.path();
    const std::string expected = slurp(replyPath.replace_extension(".reply"));
    EXPECT_EQ(recordScan(entry.path()), expected);
    std::string error;
    ASSERT_TRUE(recorder.writeFixture(file, &error)) << error;
    const std::string recording = slurp(file);
    const Json flat = Json::parse(slurp(entry.path())).flatten();
    for (const auto& [key, value] : flat.items()) {
      if (value != "AXSecureTextField") continue;  // a role or subrole
      const auto secret = flat.find(key.substr(0, key.rfind('/')) + "/AXValue");
      if (secret == flat.end() || !secret->is_string()) continue;
      EXPECT_EQ(recording.find(secret->get<std::string>()), std::string::npos);
    }
    EXPECT_EQ(recordScan(file), expected);
    EXPECT_EQ(recorder.fixtureJson(), recording);
  }
  EXPECT_GT(cases, 50);
  std::remove(file.c_str());
  std::string error;
  EXPECT_FALSE(recorder.writeFixture("/nonexistent/recording.json", &error));
  EXPECT_NE(error.find("/nonexistent/recording.json"), std::string::npos);
}

}  // namespace
}  // namespace kestreye
