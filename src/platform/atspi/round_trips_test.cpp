// What one round trip to the fake application (bus/fake_atspi_app.cpp) on a
// private bus brings: the calls a read sends, counted.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "platform/atspi/atspi_private.h"
#include "platform/atspi/bus/test_bus.h"

namespace kestreye::atspi {
namespace {

using bus::testbed::FakeApp;
using bus::testbed::once;
using bus::testbed::optionsFor;
using bus::testbed::PrivateBus;

class RoundTripTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(app_.name().empty()) << "the bus or the fake did not start";
  }
  Node* node(const char* path) { return cache_.intern(app_.ref(path)); }
  // Checks what describes one of the fake's text fields: its placeholder,
  // its text and its caret.
  void expectDescribed(Node* field) {
    EXPECT_EQ(objectAttribute(field, {"placeholder-text"}, read_),
              "you@example.org");
    EXPECT_EQ(textOf(field, read_), "ann@example.org");
    ElementMemo* selection = nullptr;
    ASSERT_TRUE(readSelection(field, read_, &selection));
    EXPECT_EQ(selection->caret, 3);
  }
  // Reads the Qt window ahead, as the scan's first frame does, through the
  // lists the search for the focus left; the calls sent are forgotten.
  void readQtWindowAhead() {
    ASSERT_NE(childrenOf(node("/o/qt"), read_), nullptr);
    ASSERT_NE(childrenOf(node("/o/qtpane"), read_), nullptr);
    ASSERT_TRUE(extentsOf(node("/o/qtedit"), read_).has_value());
    ASSERT_TRUE(read_.ok());
    sent();
  }
  // The calls sent since the last time asked.
  uint64_t sent() {
    const uint64_t now = client_.callsSent();
    const uint64_t since = now - last_;
    last_ = now;
    return since;
  }

  PrivateBus bus_;
  FakeApp app_{bus_, "none"};
  bus::Client client_{optionsFor(bus_)};
  ScanCache cache_{client_};
  ReadContext read_{cache_};
  uint64_t last_ = 0;
};

// at-spi2-atk's bridge (GTK 3, LibreOffice, Chromium, Firefox) answers a
// name and a description in one call; Qt's is never asked so (its bridge
// leaves the bus).
TEST_F(RoundTripTest, NameAndDescriptionComeInOneCallOnlyFromTheAtkBridge) {
  for (const std::string toolkit : {"gtk", "Chromium", "Gecko", "Qt"}) {
    SCOPED_TRACE(toolkit);
    client_.beginScan();
    ScanCache cache(client_);
    ReadContext read(cache);
    Node* root = cache.intern(app_.ref(bus::ROOT_PATH));
    cache.memoOf(root).toolkit = ToolkitId{toolkit, ""};
    Node* label = cache.intern(app_.ref("/o/label"));
    ASSERT_EQ(roleOf(label, read), ATSPI_ROLE_LABEL);
    sent();
    EXPECT_EQ(nameOf(label, read), "Email");
    EXPECT_EQ(descriptionOf(label, read), "Your address");
    EXPECT_TRUE(read.ok());
    EXPECT_EQ(sent(), toolkit == "Qt" ? 2u : 1u);
  }
}

// Chromium is asked for its FOCUSED and SELECTED elements in one Collection
// search; where more come than are worth asking about (every child of
// huge), it is searched for each apart.
TEST_F(RoundTripTest, ChromiumsFocusTakesOneSearchOrTwoForALongList) {
  // The long list is read with a scan's time, not one call's.
  cache_.setReadsEnd(std::chrono::steady_clock::now() +
                     std::chrono::seconds(10));
  read_.memo(node(bus::ROOT_PATH)).toolkit = ToolkitId{"Chromium", ""};
  const auto searches = [this] {
    return once(client_, &bus::Batch::description, app_.ref("/o/huge")).value;
  };
  EXPECT_NE(focusBelow(node("/o/window"), read_), nullptr);
  EXPECT_EQ(searches(), "matches asked 1 times");
  EXPECT_NE(focusBelow(node("/o/huge"), read_), nullptr);
  EXPECT_EQ(searches(), "matches asked 4 times");
  EXPECT_TRUE(read_.ok());
}

// Chromium's focus, once its search has found it, comes with what the scan
// reads of it next: whether it has a text, its frame, its parent, and the
// parent's role, states and parent.
TEST_F(RoundTripTest, ChromiumsFocusComesWithItsFrameAndItsParent) {
  read_.memo(node(bus::ROOT_PATH)).toolkit = ToolkitId{"Chromium", ""};
  const uint64_t batches = client_.batchesRun();
  NodeRef focus = focusBelow(node("/o/window"), read_);
  ASSERT_NE(focus, nullptr);
  // The three of the search (the toolkit's, the search's own, the
  // candidates' roles, states and parents), and one more.
  EXPECT_EQ(client_.batchesRun() - batches, 4u);
  sent();
  EXPECT_TRUE(hasTextInterface(focus.get(), read_));
  EXPECT_TRUE(extentsOf(focus.get(), read_).has_value());
  const NodeRef parent = parentOf(focus.get(), read_);
  ASSERT_NE(parent, nullptr);
  EXPECT_EQ(roleOf(parent.get(), read_), ATSPI_ROLE_FRAME);
  EXPECT_TRUE(statesOf(parent.get(), read_).known);
  EXPECT_EQ(parentOf(parent.get(), read_), parent);
  EXPECT_EQ(sent(), 0u);
  EXPECT_TRUE(read_.ok());
}

// A climb from an element to its window reads each ancestor's role and
// states, then asks for its parent: the parent comes with them. An element
// no climb reached is asked for no parent.
TEST_F(RoundTripTest, AClimbAsksEachAncestorsParentWithItsRole) {
  Node* field = node("/o/field");
  ASSERT_EQ(roleOf(field, read_), ATSPI_ROLE_TEXT);
  sent();
  EXPECT_FALSE(read_.memo(field).parentRead);

  NodeRef window = parentOf(field, read_);
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(window->ref.path, "/o/window");
  EXPECT_EQ(sent(), 1u);
  EXPECT_EQ(roleOf(window.get(), read_), ATSPI_ROLE_FRAME);
  EXPECT_EQ(sent(), 3u);  // role, states and parent
  // The fake's window is its own parent.
  EXPECT_EQ(parentOf(window.get(), read_), window);
  EXPECT_EQ(sent(), 0u);
  EXPECT_TRUE(read_.ok());
}

// A window with nothing FOCUSED on screen: the focus is looked for among the
// hidden elements already read, before any hidden list is read (Firefox
// builds its preloaded new tab's document when asked for it, and that
// document may hold a FOCUSED element of its own).
TEST_F(RoundTripTest, AHiddenFocusAlreadyReadLeavesUnreadListsUnread) {
  NodeRef focus = focusBelow(node("/o/hidden"), read_);
  ASSERT_NE(focus, nullptr);
  EXPECT_EQ(focus->ref.path, "/o/editor");
  EXPECT_TRUE(read_.ok());
  EXPECT_EQ(
      once(client_, &bus::Batch::description, app_.ref("/o/preload")).value,
      "children asked 0 times");
}

// A table that manages its descendants builds a cell for whoever asks for
// it: its cells are never counted nor listed, not even ahead of a walk that
// might list them, nor along with a walk's other branches.
TEST_F(RoundTripTest, ATableThatManagesItsCellsIsNeitherCountedNorListed) {
  Node* sheet = node("/o/sheet");
  ASSERT_EQ(roleOf(sheet, read_), ATSPI_ROLE_TABLE);
  sent();
  prefetchRawChildren({sheet}, read_);
  EXPECT_EQ(sent(), 0u);
  // Nor when a walk lists the elements its earlier levels left unlisted.
  cache_.frontier().push_back(sheet);
  prefetchRawChildren({}, read_, nullptr, /*walk=*/true);
  EXPECT_EQ(sent(), 0u);
  const std::vector<NodeRef>* cells = childrenOf(sheet, read_);
  ASSERT_NE(cells, nullptr);
  EXPECT_TRUE(cells->empty());
  EXPECT_TRUE(read_.ok());
  EXPECT_FALSE(read_.memo(sheet).rawChildrenRead);
}

// LibreOffice hides the commands that do not fit a tool bar. A tool bar's
// list comes with which of its children are SHOWING: the hidden ones are
// neither asked their role and states nor listed. A tool bar that does not
// answer the search has its children's states asked, as any other list.
TEST_F(RoundTripTest, ALibreOfficeToolBarsHiddenCommandsAreNotAsked) {
  read_.memo(node(bus::ROOT_PATH)).libreOffice = true;
  // The other tool bar refuses the search: its panes are all listed.
  Node* tools = node("/o/tools");
  ASSERT_EQ(roleOf(tools, read_), ATSPI_ROLE_TOOL_BAR);
  const std::vector<NodeRef>* panes = childrenOf(tools, read_);
  ASSERT_NE(panes, nullptr);
  EXPECT_EQ(panes->size(), 3u);
  Node* bar = node("/o/bar");
  ASSERT_EQ(roleOf(bar, read_), ATSPI_ROLE_TOOL_BAR);
  ASSERT_NE(parentOf(bar, read_), nullptr);
  ASSERT_EQ(roleOf(node(bus::ROOT_PATH), read_), ATSPI_ROLE_APPLICATION);
  sent();
  prefetchRawChildren({bar}, read_);
  // The list, the search, and the roles and states of save and find.
  EXPECT_EQ(sent(), 6u);
  const std::vector<NodeRef>* commands = childrenOf(bar, read_);
  ASSERT_NE(commands, nullptr);
  ASSERT_EQ(commands->size(), 2u);
  EXPECT_EQ(commands->front()->ref.path, "/o/save");
  EXPECT_EQ(commands->back()->ref.path, "/o/find");
  // Their parents, bar being a window.
  EXPECT_EQ(sent(), 2u);
  // Print is still read when asked for itself.
  EXPECT_EQ(roleOf(node("/o/print"), read_), ATSPI_ROLE_PUSH_BUTTON);
  EXPECT_FALSE(
      hasState(statesOf(node("/o/print"), read_), ATSPI_STATE_SHOWING));
  EXPECT_TRUE(read_.ok());
}

// at-spi2-atk's bridge answers a property of an interface the element
// lacks with "Get failed": the element has none, and is not asked again.
TEST_F(RoundTripTest, APropertyTheBridgeFailsToGetIsNotAskedAgain) {
  Node* bar = node("/o/bar");
  fetch(bar, kPrefetchCount, read_);
  EXPECT_TRUE(read_.ok());
  EXPECT_EQ(read_.memo(bar).hasText, false);
  sent();
  fetch(bar, kPrefetchCount, read_);
  EXPECT_TRUE(read_.ok());
  EXPECT_EQ(sent(), 0u);
}

// Without a snapshot of the application (Qt, Chromium, LibreOffice), what
// the lists of a window hold, as the search for the focus read them, is
// read ahead as a snapshot's would be: the first frame asked brings the
// button's frame and label and what describes the field (but the name of
// the label its relations name, outside the window).
TEST_F(RoundTripTest, WithoutASnapshotTheFirstFrameBringsWhatTheListsHold) {
  Node* root = node(bus::ROOT_PATH);
  ASSERT_EQ(roleOf(root, read_), ATSPI_ROLE_APPLICATION);
  Node* bar = node("/o/bar");
  ASSERT_EQ(parentOf(bar, read_).get(), root);
  ASSERT_NE(childrenOf(bar, read_), nullptr);
  Node* find = node("/o/find");
  ASSERT_TRUE(extentsOf(find, read_).has_value());
  ASSERT_TRUE(read_.ok());
  sent();
  EXPECT_TRUE(extentsOf(node("/o/save"), read_).has_value());
  EXPECT_EQ(nameOf(node("/o/save"), read_), "Save");
  EXPECT_EQ(descriptionOf(node("/o/save"), read_), "Your address");
  expectDescribed(find);
  EXPECT_TRUE(read_.memo(find).relationsRead);
  EXPECT_TRUE(read_.ok());
  EXPECT_EQ(sent(), 0u);
}

// A walk goes down one branch at a time. The lists of the branches beside
// its own (the panes of a tool bar, each holding a button) come with those
// of its own, and the names, descriptions and frames of their buttons with
// those of its button: the other branches then cost no call.
TEST_F(RoundTripTest, AWalkReadsTheBranchesBesideItsOwnWithIt) {
  const auto walk = [this](int branch) {
    SCOPED_TRACE(branch);
    const std::string pane = "/o/pane" + std::to_string(branch);
    const std::string tool = "/o/tool" + std::to_string(branch);
    for (const std::string& path : {pane, tool}) {
      EXPECT_NE(walkedChildrenOf(node(path.c_str()), read_), nullptr);
    }
    Node* button = node(tool.c_str());
    EXPECT_TRUE(extentsOf(button, read_).has_value());
    EXPECT_FALSE(nameOf(button, read_).empty());
    EXPECT_EQ(descriptionOf(button, read_), "Your address");
  };
  const std::vector<NodeRef>* panes = walkedChildrenOf(node("/o/tools"), read_);
  ASSERT_NE(panes, nullptr);
  ASSERT_EQ(panes->size(), 3u);
  walk(1);
  ASSERT_TRUE(read_.ok());
  sent();
  walk(2);
  walk(3);
  EXPECT_TRUE(read_.ok());
  EXPECT_EQ(sent(), 0u);
}

// A walk through lists the search for the focus has read asks no name
// ahead of it (KWrite's text area and the panes around it show none): the
// first name read brings those of the siblings, which the walks read next.
TEST_F(RoundTripTest, WhereTheListsAreKnownTheFirstNameReadBringsTheOthers) {
  Node* window = node("/o/signup");
  const std::vector<NodeRef>* children = childrenOf(window, read_);
  ASSERT_NE(children, nullptr);
  ASSERT_EQ(children->size(), 3u);  // the form: label, field, channel
  std::vector<Node*> level;
  for (const NodeRef& child : *children) level.push_back(child.get());
  prefetchRawChildren(level, read_);
  ASSERT_TRUE(read_.ok());
  sent();
  ASSERT_NE(walkedChildrenOf(window, read_), nullptr);
  EXPECT_EQ(sent(), 0u);
  EXPECT_EQ(nameOf(node("/o/label"), read_), "Email");
  EXPECT_GT(sent(), 0u);
  EXPECT_FALSE(nameOf(node("/o/channel"), read_).empty());
  EXPECT_EQ(descriptionOf(node("/o/field"), read_), "Your address");
  EXPECT_TRUE(read_.ok());
  EXPECT_EQ(sent(), 0u);
}

// The focus's frame brings its name, which the block's first line shows,
// and the climb from it to its container's label, read from the element
// read when that is FOCUSED, though another claims FOCUSED too (Qt's tool
// buttons): the name of the pane around the text.
TEST_F(RoundTripTest, TheFocusFrameBringsItsNameAndTheClimbAboveIt) {
  Node* window = node("/o/qt");
  Node* pane = node("/o/qtpane");
  Node* edit = node("/o/qtedit");
  ASSERT_NE(childrenOf(window, read_), nullptr);
  ASSERT_NE(childrenOf(pane, read_), nullptr);
  ASSERT_TRUE(
      hasState(statesOf(node("/o/qtbutton"), read_), ATSPI_STATE_FOCUSED));
  ASSERT_TRUE(hasState(statesOf(edit, read_), ATSPI_STATE_FOCUSED));
  ASSERT_TRUE(extentsOf(edit, read_).has_value());
  ASSERT_TRUE(read_.ok());
  sent();
  EXPECT_EQ(nameOf(pane, read_), "Document");
  EXPECT_EQ(descriptionOf(edit, read_), "Your address");
  EXPECT_TRUE(read_.ok());
  EXPECT_EQ(sent(), 0u);
}

// A window's children are asked their parents (GTK's pop-up window lists
// a menu whose parent is its combo box): with their roles and states.
TEST_F(RoundTripTest, AWindowsChildrenAreAskedTheirParentsWithTheirRoles) {
  Node* window = node("/o/qt");
  Node* root = node(bus::ROOT_PATH);
  ASSERT_NE(parentOf(window, read_), nullptr);
  ASSERT_TRUE(statesOf(window, read_).known);
  ASSERT_EQ(roleOf(root, read_), ATSPI_ROLE_APPLICATION);
  ASSERT_EQ(nameOf(root, read_), "Fake");
  sent();
  prefetchRawChildren({window}, read_);
  // The list, and the role, states and parent of each of its three children.
  EXPECT_EQ(sent(), 10u);
  const std::vector<NodeRef>* children = childrenOf(window, read_);
  ASSERT_NE(children, nullptr);
  EXPECT_EQ(children->size(), 3u);
  EXPECT_TRUE(read_.ok());
  EXPECT_EQ(sent(), 0u);
}

// The context walks climb from the focus to below its window: the frame
// and label of a button beside the pane the focus is in are of no walk's,
// and are not read ahead; those of a button in the pane are.
TEST_F(RoundTripTest, TheFirstFrameReadsNoButtonTheContextCannotReach) {
  Node* button = node("/o/qtbutton");
  ASSERT_NO_FATAL_FAILURE(readQtWindowAhead());
  EXPECT_FALSE(read_.memo(button).extentsRead);
  EXPECT_FALSE(read_.memo(button).name.has_value());
  Node* send = node("/o/qtsend");
  EXPECT_TRUE(extentsOf(send, read_).has_value());
  EXPECT_EQ(nameOf(send, read_), "Send");
  EXPECT_TRUE(read_.ok());
  EXPECT_EQ(sent(), 0u);
}

// Whether a password field has a text (its role name needs it) comes with
// the first frame, as an editable field's does; its text is never asked.
TEST_F(RoundTripTest, APasswordsTextInterfaceIsToldWithTheFirstFrame) {
  Node* secret = node("/o/qtsecret");
  ASSERT_NO_FATAL_FAILURE(readQtWindowAhead());
  EXPECT_TRUE(hasTextInterface(secret, read_));
  EXPECT_EQ(textOf(secret, read_).value_or(""), "");
  EXPECT_TRUE(read_.ok());
  EXPECT_EQ(sent(), 0u);
}

// The block shows each field's name and description, and the name of the
// label that labels it: without a snapshot, they come with the first frame.
TEST_F(RoundTripTest, TheFirstFrameBringsTheNamesOfTheFieldsAndLabels) {
  ASSERT_NO_FATAL_FAILURE(readQtWindowAhead());
  EXPECT_EQ(nameOf(node("/o/qtsecret"), read_), "PIN");
  EXPECT_EQ(descriptionOf(node("/o/qtsecret"), read_), "Your address");
  EXPECT_EQ(nameOf(node("/o/qtlabel"), read_), "Address");
  EXPECT_TRUE(read_.ok());
  EXPECT_EQ(sent(), 0u);
}

// The climb from the focus to its container's label reads the name,
// description and label of every unnamed pane up to the window (one inside
// a window too): in Qt, whose panes are never named, they are all read
// ahead, not three at a time, and not the window's.
TEST_F(RoundTripTest, InQtTheClimbToTheContainersLabelIsReadAheadWhole) {
  Node* root = node(bus::ROOT_PATH);
  read_.memo(root).toolkit = ToolkitId{"Qt", "6.4.2"};
  ASSERT_EQ(roleOf(root, read_), ATSPI_ROLE_APPLICATION);
  ASSERT_NE(parentOf(node("/o/deep"), read_), nullptr);
  for (const char* path :
       {"/o/deep", "/o/deep1", "/o/deep2", "/o/deep3", "/o/deep4"}) {
    ASSERT_NE(childrenOf(node(path), read_), nullptr) << path;
  }
  ASSERT_TRUE(extentsOf(node("/o/deepedit"), read_).has_value());
  ASSERT_TRUE(read_.ok());
  sent();
  EXPECT_FALSE(read_.memo(node("/o/deep1")).name.has_value());
  for (const char* path : {"/o/deep4", "/o/deep3", "/o/deep2"}) {
    Node* pane = node(path);
    EXPECT_EQ(nameOf(pane, read_), "") << path;
    EXPECT_EQ(descriptionOf(pane, read_), "Your address") << path;
    EXPECT_TRUE(read_.memo(pane).relationsRead) << path;
  }
  EXPECT_TRUE(read_.ok());
  EXPECT_EQ(sent(), 0u);
}

// Calc's cursor cell, asked of the sheet at the Name Box's address, comes
// with what the scan reads of its focus next (its parent, frame, count,
// name, description and relations) and of the sheet above it (count and
// relations): each was a round trip of its own.
TEST_F(RoundTripTest, CalcsCursorCellComesWithWhatTheScanReadsOfItNext) {
  Node* root = node(bus::ROOT_PATH);
  ASSERT_EQ(roleOf(root, read_), ATSPI_ROLE_APPLICATION);
  Node* calc = node("/o/calc");
  ASSERT_NE(parentOf(calc, read_), nullptr);
  Node* grid = node("/o/grid");
  const NodeRef cell = cursorCell(grid, calc, read_);
  ASSERT_NE(cell, nullptr);
  EXPECT_EQ(cell->ref.path, "/o/cell_1_2");
  const ElementMemo& memo = read_.memo(cell.get());
  EXPECT_TRUE(memo.parentRead);
  EXPECT_TRUE(memo.extentsRead);
  EXPECT_GE(memo.characterCount, 0);
  EXPECT_TRUE(memo.name.has_value());
  EXPECT_TRUE(memo.description.has_value());
  EXPECT_TRUE(memo.relationsRead);
  EXPECT_GE(read_.memo(grid).characterCount, 0);
  EXPECT_TRUE(read_.memo(grid).relationsRead);
  EXPECT_TRUE(read_.ok());
}

// GTK 3 leaves its hidden widgets out of its snapshot: the lists of the
// elements on screen that lack some come at once with the snapshot's load,
// not level by level with the search for the focus; those of elements not
// on screen are not asked.
TEST_F(RoundTripTest, GtksSnapshotHasTheListsItLacksOnScreenAskedAtOnce) {
  // The fake's snapshot holds 100,000 items (LookAheadTest).
  cache_.setReadsEnd(std::chrono::steady_clock::now() +
                     std::chrono::seconds(10));
  Node* root = node(bus::ROOT_PATH);
  ASSERT_EQ(roleOf(root, read_), ATSPI_ROLE_APPLICATION);
  read_.memo(root).toolkit = ToolkitId{"gtk", "3.24.38"};
  loadSnapshot(root, read_);
  ASSERT_TRUE(read_.memo(root).snapshotTaken);
  // The window lists three children, the snapshot two; the stack page one,
  // the snapshot none.
  EXPECT_TRUE(read_.memo(node("/o/window")).rawChildrenRead);
  EXPECT_TRUE(read_.memo(node("/o/page")).rawChildrenRead);
  EXPECT_FALSE(read_.memo(node("/o/preload")).rawChildrenRead);
  EXPECT_TRUE(read_.ok());
}

// Found by Collection, a focus on a web page knows its ancestors by their
// parents, not by their lists: a button on the page is in the reach of the
// context walks all the same, and read ahead.
TEST_F(RoundTripTest, APageKnownByItsParentsHasItsButtonsReadAhead) {
  Node* entry = node("/o/webentry");
  Node* root = node(bus::ROOT_PATH);
  for (NodeRef at = share(entry); at.get() != root;
       at = parentOf(at.get(), read_)) {
    ASSERT_NE(at, nullptr);
    ASSERT_TRUE(statesOf(at.get(), read_).known);
  }
  ASSERT_EQ(roleOf(root, read_), ATSPI_ROLE_APPLICATION);
  ASSERT_NE(childrenOf(node("/o/doc"), read_), nullptr);
  ASSERT_NE(childrenOf(node("/o/webform"), read_), nullptr);
  ASSERT_TRUE(extentsOf(entry, read_).has_value());
  ASSERT_TRUE(read_.ok());
  sent();
  Node* go = node("/o/webgo");
  EXPECT_TRUE(extentsOf(go, read_).has_value());
  EXPECT_EQ(nameOf(go, read_), "Go");
  EXPECT_TRUE(read_.ok());
  EXPECT_EQ(sent(), 0u);
}

// The search for the focus leaves the tool bars unlisted (it looks there
// last); the walks list them next: they are listed with the first frame.
TEST_F(RoundTripTest, TheFirstFrameListsTheToolBarsTheSearchLeft) {
  Node* window = node("/o/qt");
  Node* bar = node("/o/qtbar");
  ASSERT_NE(childrenOf(window, read_), nullptr);
  ASSERT_NE(childrenOf(node("/o/qtpane"), read_), nullptr);
  ASSERT_FALSE(read_.memo(bar).rawChildrenRead);
  ASSERT_TRUE(extentsOf(node("/o/qtedit"), read_).has_value());
  ASSERT_TRUE(read_.ok());
  EXPECT_TRUE(read_.memo(bar).rawChildrenRead);
  ASSERT_EQ(read_.memo(bar).rawChildren.size(), 1u);
  EXPECT_EQ(read_.memo(read_.memo(bar).rawChildren.front().get()).role,
            ATSPI_ROLE_PUSH_BUTTON);
}

// A paragraph's text brings those of the links it embeds, which its reader
// puts in their places next, though no link is known to have a text: one
// round trip, not one more for each link.
TEST_F(RoundTripTest, AParagraphsTextBringsThoseOfTheLinksItEmbeds) {
  Node* para = node("/o/para");
  ASSERT_EQ(roleOf(para, read_), ATSPI_ROLE_PARAGRAPH);
  prefetchRawChildren({para}, read_);
  ASSERT_EQ(read_.memo(para).rawChildren.size(), 2u);
  const uint64_t before = client_.batchesRun();
  EXPECT_EQ(textOf(para, read_), "Read ann@example.org and ann@example.org.");
  EXPECT_TRUE(read_.ok());
  EXPECT_EQ(client_.batchesRun() - before, 1u);
}

// A section's text brings those of the paragraphs it holds, which its
// reader reads next.
TEST_F(RoundTripTest, ATextBringsTheTextsOfTheBlocksItHolds) {
  Node* notes = node("/o/notes");
  ASSERT_EQ(roleOf(notes, read_), ATSPI_ROLE_SECTION);
  prefetchRawChildren({notes}, read_);
  ASSERT_EQ(read_.memo(notes).rawChildren.size(), 1u);
  EXPECT_EQ(textOf(notes, read_), "ann@example.org");
  sent();
  EXPECT_EQ(textOf(node("/o/note"), read_), "ann@example.org");
  EXPECT_TRUE(read_.ok());
  EXPECT_EQ(sent(), 0u);
}

// The look-ahead of a window, against the fake application's sign-up window:
// what the walks read of it comes with the first frame asked, and a
// password's text never does.
class LookAheadTest : public RoundTripTest {
 protected:
  void SetUp() override {
    RoundTripTest::SetUp();
    // The fake's snapshot holds 100,000 more items: as in a scan, its reads
    // have the scan's time, not one call's 500 ms (a sanitizer's build of
    // the fake takes about that to send them).
    cache_.setReadsEnd(std::chrono::steady_clock::now() +
                       std::chrono::seconds(10));
    Node* root = node(bus::ROOT_PATH);
    ASSERT_EQ(roleOf(root, read_), ATSPI_ROLE_APPLICATION);
    loadSnapshot(root, read_);
    ASSERT_TRUE(read_.memo(root).snapshotTaken);
  }
};

TEST_F(LookAheadTest, TheFirstFrameBringsTheWindowAndNeverAPasswordsText) {
  Node* entry = node("/o/entry");
  Node* secret = node("/o/secret");
  ASSERT_TRUE(extentsOf(entry, read_).has_value());
  ASSERT_TRUE(read_.ok());

  // The button's and the password field's frames, the label's and the
  // paragraph's texts and that of the link inside it, the field's label,
  // placeholder, text, count and selection, and the frame and text of the
  // label in the stack page, whose children the snapshot left out: no
  // further call.
  const uint64_t sent = client_.callsSent();
  EXPECT_TRUE(extentsOf(node("/o/pagetext"), read_).has_value());
  EXPECT_EQ(textOf(node("/o/pagetext"), read_), "ann@example.org");
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
  // Whether it has a text, which its role name needs.
  EXPECT_TRUE(hasTextInterface(secret, read_));
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
  expectDescribed(editor);
  EXPECT_TRUE(read_.ok());
  EXPECT_EQ(client_.callsSent(), sent);
  EXPECT_EQ(
      once(client_, &bus::Batch::description, app_.ref("/o/preload")).value,
      "children asked 0 times");
}

// A field whose description was read before asks nothing when its label
// is read, not even for the fields beside it; the label of one not read yet
// brings what describes it.
TEST_F(LookAheadTest, AFieldReadBeforeAsksNothingForTheFieldsBeside) {
  Node* entry = node("/o/entry");
  Node* secret = node("/o/secret");
  Node* desktop =
      cache_.intern(bus::ObjectRef{"org.a11y.atspi.Registry", bus::ROOT_PATH});
  ASSERT_NE(childrenOf(node("/o/signup"), read_), nullptr);
  fetch(entry, fieldReads(entry, read_), read_);
  ASSERT_TRUE(read_.ok());
  const std::vector<Node*> beside = withSiblings(entry, read_);
  ASSERT_NE(std::find(beside.begin(), beside.end(), secret), beside.end());
  sent();
  EXPECT_EQ(readAttribute(entry, "AXLabel", desktop, read_).code, kAxSuccess);
  EXPECT_EQ(sent(), 0u);
  EXPECT_EQ(readAttribute(secret, "AXLabel", desktop, read_).code, kAxSuccess);
  EXPECT_GT(sent(), 0u);
  EXPECT_TRUE(read_.ok());
}

// A Firefox that no client has asked yet (the fake's --waking 100): its
// attributes come 50 ms after they are first asked for, its frames 100 ms.
class GeckoWakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(app_.name().empty()) << "the bus or the fake did not start";
    cache_.setReadsEnd(std::chrono::steady_clock::now() +
                       std::chrono::seconds(10));
    cache_.memoOf(root_).toolkit = ToolkitId{"Gecko", ""};
  }
  Node* node(const char* path) { return cache_.intern(app_.ref(path)); }
  // Waits for Firefox's data as a scan does, then reads the focus's frame.
  std::optional<Rect> frameAfterTheWait(Node* focus) {
    awaitGeckoData(root_, focus, read_);
    if (!read_.ok()) return std::nullopt;
    return extentsOf(focus, read_);
  }

  PrivateBus bus_;
  FakeApp app_{bus_, "none", {"--waking", "100"}};
  bus::Client client_{optionsFor(bus_)};
  ScanCache cache_{client_};
  ReadContext read_{cache_};
  Node* root_ = node(bus::ROOT_PATH);
};

// On the first scan the focus's frame is awaited until it has come, not
// only until the attributes have.
TEST_F(GeckoWakeTest, AWakingFirefoxsFrameIsAwaitedPastItsAttributes) {
  const std::optional<Rect> frame = frameAfterTheWait(node("/o/entry"));
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->x, 10);
  EXPECT_EQ(frame->width, 300);
  EXPECT_TRUE(read_.ok());
}

// Firefox's attributes, none while it wakes, tell the scan to wait for it;
// a name asked before them brings one ("explicit-name"), and the wait was
// skipped: the focus's name does not ride with the window's read-ahead
// there. The Qt window's lists are read first, as the search for the focus
// reads a window's without a snapshot (Firefox's is empty while it wakes).
TEST_F(GeckoWakeTest, TheReadAheadOfAWakingFirefoxAsksNoNameOfTheFocus) {
  ASSERT_NE(childrenOf(node("/o/qt"), read_), nullptr);
  ASSERT_NE(childrenOf(node("/o/qtpane"), read_), nullptr);
  const std::optional<Rect> frame = frameAfterTheWait(node("/o/qtedit"));
  ASSERT_TRUE(frame.has_value());
  EXPECT_EQ(frame->width, 300);
  EXPECT_TRUE(read_.ok());
}

}  // namespace
}  // namespace kestreye::atspi
