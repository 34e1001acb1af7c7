// The look-ahead of a window, against the fake application's sign-up window
// (bus/fake_atspi_app.cpp) on a private bus: what the walks read of it comes
// with the first frame asked, and a password's text never does.
#include <gtest/gtest.h>

#include <string>

#include "platform/atspi/atspi_private.h"
#include "platform/atspi/bus/test_bus.h"

namespace kestreye::atspi {
namespace {

using bus::testbed::FakeApp;
using bus::testbed::once;
using bus::testbed::optionsFor;
using bus::testbed::PrivateBus;

// The fake application on a private bus, its snapshot held.
class LookAheadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(app_.name().empty()) << "the bus or the fake did not start";
    Node* root = node(bus::ROOT_PATH);
    ASSERT_EQ(roleOf(root, read_), ATSPI_ROLE_APPLICATION);
    loadSnapshot(root, read_);
  }
  Node* node(const char* path) { return cache_.intern(app_.ref(path)); }

  PrivateBus bus_;
  FakeApp app_{bus_, "none"};
  bus::Client client_{optionsFor(bus_)};
  ScanCache cache_{client_};
  ReadContext read_{cache_};
};

TEST_F(LookAheadTest, TheFirstFrameBringsTheWindowAndNeverAPasswordsText) {
  Node* entry = node("/o/entry");
  Node* secret = node("/o/secret");
  ASSERT_TRUE(extentsOf(entry, read_).has_value());
  ASSERT_TRUE(read_.ok());

  // The button's and the password field's frames, the label's and the
  // paragraph's texts and that of the link inside it, and the field's
  // label, placeholder, text, count and selection: no further call.
  const uint64_t sent = client_.callsSent();
  EXPECT_TRUE(extentsOf(node("/o/send"), read_).has_value());
  EXPECT_TRUE(extentsOf(secret, read_).has_value());
  EXPECT_EQ(textOf(node("/o/name"), read_), "ann@example.org");
  EXPECT_EQ(textOf(node("/o/terms"), read_), "ann@example.org");
  EXPECT_EQ(textOf(node("/o/link"), read_), "ann@example.org");
  EXPECT_EQ(labelOf(entry, read_), "Email");
  EXPECT_EQ(objectAttribute(entry, {"placeholder-text"}, read_),
            "you@example.org");
  EXPECT_EQ(textOf(entry, read_), "ann@example.org");
  EXPECT_TRUE(hasTextInterface(entry, read_));
  ElementMemo* selection = nullptr;
  ASSERT_TRUE(readSelection(entry, read_, &selection));
  EXPECT_EQ(selection->caret, 3);
  EXPECT_EQ(labelOf(secret, read_), "Email");
  EXPECT_TRUE(read_.ok());
  EXPECT_EQ(client_.callsSent(), sent);

  // The password field's text was never asked for, ahead or by its read.
  EXPECT_EQ(textOf(secret, read_).value_or(""), "");
  EXPECT_FALSE(read_.memo(secret).rawSelection.has_value());
  const auto asked =
      once(client_, &bus::Batch::description, app_.ref("/o/secret"));
  EXPECT_EQ(asked.value, "text asked 0 times");
}

// A focus that is not on screen (Monaco's textarea in Firefox) is described
// with the window it is in: its label, placeholder, text and selection come
// with the first read, and nothing of what is hidden beside it is read.
TEST_F(LookAheadTest, AHiddenFocusIsDescribedWithItsWindow) {
  Node* editor = node("/o/editor");
  readWindowAhead(editor, read_);
  ASSERT_TRUE(read_.ok());

  const uint64_t sent = client_.callsSent();
  EXPECT_EQ(labelOf(editor, read_), "Email");
  EXPECT_EQ(objectAttribute(editor, {"placeholder-text"}, read_),
            "you@example.org");
  EXPECT_EQ(textOf(editor, read_), "ann@example.org");
  ElementMemo* selection = nullptr;
  ASSERT_TRUE(readSelection(editor, read_, &selection));
  EXPECT_EQ(selection->caret, 3);
  EXPECT_TRUE(read_.ok());
  EXPECT_EQ(client_.callsSent(), sent);
  EXPECT_EQ(
      once(client_, &bus::Batch::description, app_.ref("/o/preload")).value,
      "children asked 0 times");
}

}  // namespace
}  // namespace kestreye::atspi
