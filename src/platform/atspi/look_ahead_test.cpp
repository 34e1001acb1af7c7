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

TEST(LookAheadTest, TheFirstFrameBringsTheWindowAndNeverAPasswordsText) {
  PrivateBus bus;
  FakeApp app(bus, "none");
  ASSERT_FALSE(app.name().empty()) << "the bus or the fake did not start";
  bus::Client client(optionsFor(bus));
  ScanCache cache(client);
  ReadContext read(cache);
  auto node = [&](const char* path) { return cache.intern(app.ref(path)); };
  Node* root = node(bus::ROOT_PATH);
  ASSERT_EQ(roleOf(root, read), ATSPI_ROLE_APPLICATION);
  loadSnapshot(root, read);
  Node* entry = node("/o/entry");
  Node* secret = node("/o/secret");
  ASSERT_TRUE(extentsOf(entry, read).has_value());
  ASSERT_TRUE(read.ok());

  // The button's and the password field's frames, the label's and the
  // paragraph's texts and that of the link inside it, and the field's
  // label, placeholder, text, count and selection: no further call.
  const uint64_t sent = client.callsSent();
  EXPECT_TRUE(extentsOf(node("/o/send"), read).has_value());
  EXPECT_TRUE(extentsOf(secret, read).has_value());
  EXPECT_EQ(textOf(node("/o/name"), read), "ann@example.org");
  EXPECT_EQ(textOf(node("/o/terms"), read), "ann@example.org");
  EXPECT_EQ(textOf(node("/o/link"), read), "ann@example.org");
  EXPECT_EQ(labelOf(entry, read), "Email");
  EXPECT_EQ(objectAttribute(entry, {"placeholder-text"}, read),
            "you@example.org");
  EXPECT_EQ(textOf(entry, read), "ann@example.org");
  EXPECT_TRUE(hasTextInterface(entry, read));
  ElementMemo* selection = nullptr;
  ASSERT_TRUE(readSelection(entry, read, &selection));
  EXPECT_EQ(selection->caret, 3);
  EXPECT_EQ(labelOf(secret, read), "Email");
  EXPECT_TRUE(read.ok());
  EXPECT_EQ(client.callsSent(), sent);

  // The password field's text was never asked for, ahead or by its read.
  EXPECT_EQ(textOf(secret, read).value_or(""), "");
  EXPECT_FALSE(read.memo(secret).rawSelection.has_value());
  const auto asked =
      once(client, &bus::Batch::description, app.ref("/o/secret"));
  EXPECT_EQ(asked.value, "text asked 0 times");
}

// A focus that is not on screen (Monaco's textarea in Firefox) is described
// with the window it is in: its label, placeholder, text and selection come
// with the first read, and nothing of what is hidden beside it is read.
TEST(LookAheadTest, AHiddenFocusIsDescribedWithItsWindow) {
  PrivateBus bus;
  FakeApp app(bus, "none");
  ASSERT_FALSE(app.name().empty()) << "the bus or the fake did not start";
  bus::Client client(optionsFor(bus));
  ScanCache cache(client);
  ReadContext read(cache);
  auto node = [&](const char* path) { return cache.intern(app.ref(path)); };
  Node* root = node(bus::ROOT_PATH);
  ASSERT_EQ(roleOf(root, read), ATSPI_ROLE_APPLICATION);
  loadSnapshot(root, read);
  Node* editor = node("/o/editor");
  readWindowAhead(editor, read);
  ASSERT_TRUE(read.ok());

  const uint64_t sent = client.callsSent();
  EXPECT_EQ(labelOf(editor, read), "Email");
  EXPECT_EQ(objectAttribute(editor, {"placeholder-text"}, read),
            "you@example.org");
  EXPECT_EQ(textOf(editor, read), "ann@example.org");
  ElementMemo* selection = nullptr;
  ASSERT_TRUE(readSelection(editor, read, &selection));
  EXPECT_EQ(selection->caret, 3);
  EXPECT_TRUE(read.ok());
  EXPECT_EQ(client.callsSent(), sent);
  EXPECT_EQ(once(client, &bus::Batch::description, app.ref("/o/preload")).value,
            "children asked 0 times");
}

}  // namespace
}  // namespace kestreye::atspi
