// The macOS platform's real sources over the fake SDK of sdk_fake/, which
// fails every test that leaks, over-releases or misreads an object.
#include "platform/macos/macos_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include "platform/macos/sdk_fake/fake_sdk.h"
#include "platform/memory/fixture_writer.h"
#include "scan/reply.h"
#include "scan/scan.h"

namespace kestreye::macos {
namespace {

using Strings = std::vector<std::string>;
using std::chrono::milliseconds;

// The fake SDK's clock, which only calls and pauses move on.
Clock fakeClock() {
  return Clock{
      [] { return fake::world().now; },
      [](std::chrono::nanoseconds pause) { fake::world().now += pause; }};
}

class MacosPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override { fake::reset(), installPlatform(*platform_); }
  void TearDown() override { EXPECT_EQ(fake::finish(), Strings{}); }
  // Checks the last case's objects and starts the next case afresh.
  void nextCase() {
    EXPECT_EQ(fake::finish(), Strings{});
    fake::reset();
  }
  std::unique_ptr<Platform> platform_ = makePlatform(fakeClock());
};

// One scan whose reads end 1.6 s from now on the fake clock: the reply, and
// the milliseconds of the fake clock it took.
std::pair<std::string, int64_t> scanOnFakeClock() {
  const ScanDeadline start = fake::world().now;
  const std::string reply = encodeReply(scanReply(
      ScanDeadlines{start + milliseconds(1300), start + milliseconds(1600)}));
  return {reply,
          std::chrono::duration_cast<milliseconds>(fake::world().now - start)
              .count()};
}

// Reads through a handle that holds its own reference, as the core's do.
AttributeRead read(AXUIElementRef element, const char* attribute) {
  const void* ref = CFRetain(element);
  return copyAttribute(Element::adopt(const_cast<void*>(ref)), attribute);
}

// A read as a fixture file writes it, every element as "e".
std::string show(const AttributeRead& read) {
  return memory::fixtureAnswer(read, [](const Element&) { return "e"; });
}

TEST_F(MacosPlatformTest, ReadsEachKindOfValueAndReleasesIt) {
  // NULs kept, a lone surrogate replaced, whether stored as UTF-16 or not.
  const std::u16string units{u'H', 0xE9, 0, 0xD83D, 0xDE00, 0xD83D};
  // H, e acute, NUL, U+1F600, U+FFFD.
  const std::string text =
      R"({"bytes": [72, 195, 169, 0, 240, 159, 152, 128, 239, 191, 189]})";
  CFTypeRef deep = fake::string(u"bottom");
  std::string cut = R"({"rect": [0.0, 0.0, 0.0, 0.0]})";
  for (int i = 0; i < 33; ++i) deep = fake::array({deep});
  for (int i = 0; i < 32; ++i) cut = R"({"array": [)" + cut + "]}";
  const std::vector<std::pair<CFTypeRef, std::string>> cases = {
      {fake::string(units), text},
      {fake::string(units, /*direct=*/true), text},
      {fake::string(u""), R"("")"},
      {fake::boolean(true), "true"},
      {fake::number(-9223372036854775807.0 - 1, false),
       R"({"number": -9223372036854775808})"},
      {fake::number(-2.5, true), R"({"number": -2.5})"},
      {fake::box(kAXValueTypeCGPoint, 10.5, -3.5),
       R"({"point": [10.5, -3.5]})"},
      {fake::box(kAXValueTypeCGSize, 0.5, 2048), R"({"size": [0.5, 2048.0]})"},
      {fake::box(kAXValueTypeCFRange, -4, 7), R"({"range": [-4, 7]})"},
      {fake::box(kAXValueTypeCGRect, 1, 2, 3, 4),
       R"({"rect": [1.0, 2.0, 3.0, 4.0]})"},
      // A value no reader takes.
      {fake::null(), R"({"rect": [0.0, 0.0, 0.0, 0.0]})"},
      {fake::array({fake::string(u"t"), fake::boolean(false)}),
       R"({"array": ["t", false]})"},
      // Nesting from another process is cut at 32 arrays.
      {deep, cut},
      {nullptr, R"({"novalue": true})"},
  };
  const AXUIElementRef element = fake::element(42);
  for (const auto& [value, expected] : cases) {
    fake::answer(element, "AXTitle", value);
    EXPECT_EQ(show(read(element, "AXTitle")), expected);
  }
  // A failure passes on, and a value left beside it is released.
  fake::answer(element, "AXTitle", fake::string(u"stale"), kAXErrorNoValue);
  EXPECT_EQ(read(element, "AXTitle").code, kAxNoValue);
  EXPECT_EQ(copyAttribute(Element(), "AXRole").code, kAxIllegalArgument);
}

TEST_F(MacosPlatformTest, ElementsHoldTheirOwnReference) {
  const AXUIElementRef parent = fake::element(42);
  const AXUIElementRef child = fake::element(42);
  fake::answer(parent, "AXRole", fake::string(u"AXGroup"));
  fake::answer(child, "AXParent", parent);
  fake::answer(child, "AXChildren", fake::array({parent, child}));
  const Element got = std::get<Element>(read(child, "AXParent").value->v);
  EXPECT_EQ(got.ref(), parent);
  EXPECT_EQ(show(copyAttribute(got, "AXRole")), R"("AXGroup")");
  EXPECT_EQ(show(read(child, "AXChildren")), R"({"elements": ["e", "e"]})");
  fake::world().applications[77] = child;
  EXPECT_EQ(applicationElement(77).ref(), child);
  EXPECT_FALSE(applicationElement(78).empty());
}

AXUIElementRef passwordField(pid_t pid) {
  const AXUIElementRef field = fake::element(pid);
  fake::answer(field, "AXRole", fake::string(u"AXTextField"));
  fake::answer(field, "AXSubrole", fake::string(u"AXSecureTextField"));
  fake::answer(field, "AXTitle", fake::string(u"Password"));
  fake::answer(field, "AXValue", fake::string(u"\U0001F600\U0001F600"));
  fake::answer(field, "AXSelectedText", fake::string(u"hunt"));
  fake::answer(field, "AXSelectedTextRange",
               fake::box(kAXValueTypeCFRange, 4, 0));
  return field;
}

TEST_F(MacosPlatformTest, WithholdsSecureTextAndCountsTheCaretInCharacters) {
  const AXUIElementRef field = passwordField(42);
  EXPECT_EQ(read(field, "AXValue").code, kAxAttributeUnsupported);
  EXPECT_EQ(read(field, "AXSelectedText").code, kAxAttributeUnsupported);
  // Not counted in the withheld text: four units stay four.
  EXPECT_EQ(show(read(field, "AXSelectedTextRange")), R"({"range": [4, 0]})");

  // Without combined reads: the subrole alone, the secret never asked for.
  fake::failCombined(field, kAXErrorNotImplemented);
  EXPECT_EQ(read(field, "AXSelectedText").code, kAxAttributeUnsupported);
  EXPECT_EQ(fake::trips(field),
            (Strings{"AXSubrole+AXValue", "AXSubrole+AXSelectedText",
                     "AXSubrole+AXValue+AXSelectedTextRange",
                     "AXSubrole+AXSelectedText", "AXSubrole"}));

  // U+1F600 then "ab": the selection from unit 3 is character 2. A failed
  // entry carries its own error, and an element that is gone is not asked
  // again one attribute at a time.
  const AXUIElementRef area = fake::element(42);
  fake::answer(area, "AXSubrole", fake::string(u"AXSearchField"));
  fake::answer(area, "AXValue", fake::string(u"\U0001F600ab"));
  fake::answer(area, "AXSelectedTextRange",
               fake::box(kAXValueTypeCFRange, 3, 1));
  EXPECT_EQ(show(read(area, "AXSelectedTextRange")), R"({"range": [2, 1]})");
  fake::failCombined(area, kAXErrorFailure);
  EXPECT_EQ(show(read(area, "AXSelectedTextRange")), R"({"range": [2, 1]})");
  fake::failCombined(area, kAXErrorSuccess);
  fake::answer(area, "AXValue", nullptr, kAXErrorIllegalArgument);
  EXPECT_EQ(read(area, "AXValue").code, kAxIllegalArgument);
  fake::failCombined(area, kAXErrorInvalidUIElement);
  EXPECT_EQ(read(area, "AXValue").code, kAxInvalidElement);
  EXPECT_EQ(fake::trips(area).size(), 7u);
}

TEST_F(MacosPlatformTest, StopsAskingAnApplicationThatHung) {
  fake::world().hangsAfter[9001] = 0;
  const AXUIElementRef first = fake::element(9001);
  const AXUIElementRef second = fake::element(9001);
  const ScanDeadline start = fake::world().now;
  platform_->beginScan(start + milliseconds(1600));
  EXPECT_EQ(read(first, "AXRole").code, kAxCannotComplete);
  EXPECT_EQ(read(second, "AXValue").code, kAxCannotComplete);
  EXPECT_EQ(fake::trips(first).size() + fake::trips(second).size(), 1u);
  platform_->endScan();  // the next scan asks again
  platform_->beginScan(fake::world().now + milliseconds(1000));
  EXPECT_EQ(read(second, "AXValue").code, kAxCannotComplete);
  EXPECT_EQ(fake::trips(second), Strings{"AXSubrole+AXValue"});
  EXPECT_EQ(fake::world().calls,
            (Strings{"9001 AXRole 1600ms", "9001 AXSubrole+AXValue 1000ms"}));
  platform_->endScan();

  // "Cannot complete" at once is that read's failure, no hang: the other
  // attribute is still read. Within the read, the value is not asked for.
  const ScanScope scope(fake::world().now + milliseconds(1600));
  const AXUIElementRef field = fake::element(77);
  fake::answer(field, "AXRole", nullptr, kAXErrorCannotComplete);
  fake::answer(field, "AXTitle", fake::string(u"To"));
  fake::answer(field, "AXSubrole", nullptr, kAXErrorCannotComplete);
  EXPECT_EQ(read(field, "AXRole").code, kAxCannotComplete);
  EXPECT_EQ(show(read(field, "AXTitle")), R"("To")");
  EXPECT_EQ(read(field, "AXValue").code, kAxCannotComplete);
  fake::failCombined(field, kAXErrorNotImplemented);
  EXPECT_EQ(read(field, "AXValue").code, kAxCannotComplete);
  EXPECT_EQ(fake::trips(field),
            (Strings{"AXRole", "AXTitle", "AXSubrole+AXValue",
                     "AXSubrole+AXValue", "AXSubrole"}));
}

const char* const kField =
    "{\"success\":true,\"ui_block\":\"Focused: [TextField] \\\"To\\\" "
    "value: \\\"ann\\\" (FOCUSED)\"}";
const char* const kUnread =
    "{\"success\":true,\"ui_block\":\"Focused: [] (FOCUSED)\"}";
const char* const kNoFocus =
    "{\"success\":false,\"error\":\"No focused element\"}";

// A text field "To" holding "ann", of process `pid`.
AXUIElementRef toField(pid_t pid) {
  const AXUIElementRef field = fake::element(pid);
  fake::answer(field, "AXRole", fake::string(u"AXTextField"));
  fake::answer(field, "AXTitle", fake::string(u"To"));
  fake::answer(field, "AXValue", fake::string(u"ann"));
  return field;
}

// `app` as process 500, trusted and frontmost.
void makeFrontmost(AXUIElementRef app) {
  fake::world().trusted = true;
  fake::world().frontmost = 500;
  fake::world().applications = {{500, app}};
}

// The calls, "; " between them, as the tables below write them.
std::string joined(const Strings& calls) {
  std::string out;
  for (const std::string& call : calls) out += (out.empty() ? "" : "; ") + call;
  return out;
}

// Every call gets a limit from the time the scan has left: the first call to
// a process and the focus read all of it, any other half. A process whose own
// call ran out its limit is not called again in the scan; a slow answer
// within the limit is no hang. The focused field may live in another process
// (AppKit's open and save panels are served by one).
TEST_F(MacosPlatformTest, LimitsEveryCallByTheTimeLeft) {
  struct Case {
    const char* name;
    pid_t fieldOwner;  // also the process that hangs
    int hangsAfter;    // calls it answers first; -1: never hangs
    int latencyMs;     // of each answer of process 500
    const char* reply;
    std::string calls;
    int64_t tookMs;
  };
  // The focused element's role is read first, to tell an empty web area.
  const std::string kAnswered =
      "500 AXFocusedWindow 1600ms; 500 AXFocusedUIElement 1600ms; "
      "500 AXRole 800ms";
  std::string all = kAnswered;
  for (const char* attribute :
       {"AXPosition", "AXSize", "AXRole", "AXTitle", "AXDescription", "AXLabel",
        "AXSubrole+AXValue", "AXPlaceholderValue", "AXFocused", "AXEnabled",
        "AXSelected", "AXSubrole+AXSelectedText"}) {
    all += "; 500 " + std::string(attribute) + " 800ms";
  }
  const std::string kSlow =
      "500 AXFocusedWindow 1600ms; 500 AXFocusedUIElement 1300ms; "
      "500 AXRole 500ms; 500 AXPosition 350ms";
  const Case cases[] = {
      {"answers", 500, -1, 0, kField, all, 0},
      {"hangs at once", 500, 0, 0, kNoFocus, "500 AXFocusedWindow 1600ms",
       1600},
      {"hangs before the focus", 500, 1, 0, kNoFocus,
       "500 AXFocusedWindow 1600ms; 500 AXFocusedUIElement 1600ms", 1600},
      {"hangs after the focus", 500, 2, 0, kUnread, kAnswered, 800},
      {"slow, then out of time", 500, -1, 300, kUnread,
       kSlow + "; 500 AXSize 200ms", 1400},
      // The limit is handed over as a float, 0.35f s a little short of
      // 350 ms: the service's own timeout still marks the process hung.
      {"hangs on a limit that a float rounds down", 500, 3, 300, kUnread, kSlow,
       1249},
      {"field of a hung panel", 600, 0, 0, kUnread,
       "500 AXFocusedWindow 1600ms; 500 AXFocusedUIElement 1600ms; "
       "600 AXRole 1600ms",
       1600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const AXUIElementRef app = fake::element(500);
    fake::answer(app, "AXFocusedUIElement", toField(c.fieldOwner));
    makeFrontmost(app);
    if (c.hangsAfter >= 0)
      fake::world().hangsAfter[c.fieldOwner] = c.hangsAfter;
    fake::world().latency[500] = milliseconds(c.latencyMs);
    const auto [reply, took] = scanOnFakeClock();
    EXPECT_EQ(reply, c.reply);
    EXPECT_EQ(joined(fake::world().calls), c.calls);
    EXPECT_EQ(took, c.tookMs);
    nextCase();
  }
}

// Electron shows no focused element, and Chromium an empty web area, until
// AXManualAccessibility is set on the application element; kestreye sets it
// once and reads the focus again every 50 ms for at most a second, never past
// the reads' end. An application that refuses it is not waited for, unless
// its empty web area says the tree may still come; one that says it is set
// already has nothing focused.
TEST_F(MacosPlatformTest, WakesElectronAndChromiumOnce) {
  enum class Before { Field, NoFocus, NoFocusWoken, EmptyWebArea };
  struct Case {
    const char* name;
    Before before;
    std::optional<AXError> set;  // what a set answers; none: unknown to it
    int delayMs;                 // from the set to the tree
    int latencyMs;               // of every answer
    const char* reply;
    std::string appCalls;  // to the application element, with their limits
    std::string logs;
    int64_t tookMs;
  };
  const std::string kW = "500 AXFocusedWindow 1600ms",
                    kF = "500 AXFocusedUIElement ";
  const std::string kSetLine =
      "%@ [kestreye] AXManualAccessibility set on pid 500 ";
  const std::string kNoField = kSetLine + "(no focused element): ",
                    kWebArea = kSetLine + "(empty web area): ";
  const std::string kNoFocusLine = "%@ [kestreye] No focused element";
  // The set at once, then `count` focus reads 50 ms apart, each with all
  // the time left.
  const auto polls = [&](int count) {
    std::string calls = kW + "; " + kF +
                        "1600ms; 500 AXManualAccessibility 800ms; "
                        "500 =AXManualAccessibility 800ms";
    for (int i = 1; i <= count; ++i) {
      calls += "; " + kF + std::to_string(1600 - 50 * i) + "ms";
    }
    return calls;
  };
  const AXError kOk = kAXErrorSuccess;
  const Case cases[] = {
      {"native application", Before::Field, std::nullopt, 0, 0, kField,
       kW + "; " + kF + "1600ms", "", 0},
      {"Electron, tree at once", Before::NoFocus, kOk, 0, 0, kField, polls(1),
       kNoField + "accepted", 50},
      {"Electron, tree after 300 ms", Before::NoFocus, kOk, 300, 0, kField,
       polls(6), kNoField + "accepted", 300},
      {"Electron, tree too late", Before::NoFocus, kOk, 1500, 0, kNoFocus,
       polls(20), kNoField + "accepted; " + kNoFocusLine, 1000},
      {"Electron, slow to answer", Before::NoFocus, kOk, 1500, 300, kNoFocus,
       kW + "; " + kF + "1300ms; 500 AXManualAccessibility 500ms; " +
           "500 =AXManualAccessibility 350ms; " + kF + "350ms",
       kNoField + "accepted; " + kNoFocusLine, 1600},
      {"Chromium", Before::EmptyWebArea, kOk, 100, 0, kField, polls(2),
       kWebArea + "accepted", 100},
      {"Chromium that reports a refusal", Before::EmptyWebArea,
       kAXErrorAttributeUnsupported, 100, 0, kField, polls(2),
       kWebArea + "refused, error -25205", 100},
      {"Electron woken by an earlier scan, nothing focused",
       Before::NoFocusWoken, kOk, 0, 0, kNoFocus,
       kW + "; " + kF + "1600ms; 500 AXManualAccessibility 800ms", kNoFocusLine,
       0},
      {"refuses the attribute", Before::NoFocus, std::nullopt, 0, 0, kNoFocus,
       polls(0), kNoField + "refused, error -25205; " + kNoFocusLine, 0},
  };
  // No focused window: the reply is the short block, which logs no line of
  // its own.
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const AXUIElementRef app = fake::element(500);
    const AXUIElementRef field = toField(500);
    const AXUIElementRef webArea = fake::element(500);
    fake::answer(webArea, "AXRole", fake::string(u"AXWebArea"));
    fake::answer(webArea, "AXChildren", fake::array({}));
    if (c.before == Before::Field)
      fake::answer(app, "AXFocusedUIElement", field);
    if (c.before == Before::NoFocus || c.before == Before::NoFocusWoken)
      fake::answer(app, "AXFocusedUIElement", nullptr, kAXErrorNoValue);
    if (c.before == Before::NoFocusWoken)
      fake::answer(app, "AXManualAccessibility", fake::boolean(true));
    if (c.before == Before::EmptyWebArea)
      fake::answer(app, "AXFocusedUIElement", webArea);
    if (c.set) {
      fake::onSet(app, "AXManualAccessibility", milliseconds(c.delayMs),
                  {{app, "AXFocusedUIElement", field},
                   {webArea, "AXChildren", fake::array({field})}},
                  *c.set);
    }
    makeFrontmost(app);
    fake::world().latency = {{500, milliseconds(c.latencyMs)}};
    const auto [reply, took] = scanOnFakeClock();
    EXPECT_EQ(reply, c.reply);
    Strings appCalls;
    for (const std::string& call : fake::world().calls) {
      if (call.starts_with(kF) || call.starts_with("500 AXFocusedWindow ") ||
          call.starts_with("500 =") ||
          call.starts_with("500 AXManualAccessibility ")) {
        appCalls.push_back(call);
      }
    }
    EXPECT_EQ(joined(appCalls), c.appCalls);
    EXPECT_EQ(joined(fake::world().logs), c.logs);
    EXPECT_EQ(took, c.tookMs);
    nextCase();
  }
}

// Only the frontmost application's focus read sets the attribute, and only
// once in a scan; the next scan may set it again.
TEST_F(MacosPlatformTest, WakesOnlyTheFrontmostApplicationOncePerScan) {
  const AXUIElementRef front = fake::element(500);
  const AXUIElementRef back = fake::element(600);
  for (const AXUIElementRef app : {front, back}) {
    fake::answer(app, "AXFocusedUIElement", nullptr, kAXErrorNoValue);
    fake::onSet(app, "AXManualAccessibility", milliseconds(5000), {});
  }
  fake::world().frontmost = 500;
  fake::world().applications = {{500, front}, {600, back}};
  for (int scan = 0; scan < 2; ++scan) {
    const ScanScope scope(fake::world().now + milliseconds(1600));
    ASSERT_EQ(frontmostProcessId(), 500);
    const Element backElement = applicationElement(600);
    const Element frontElement = applicationElement(500);
    EXPECT_EQ(copyAttribute(backElement, "AXFocusedUIElement").code,
              kAxNoValue);
    EXPECT_EQ(copyAttribute(frontElement, "AXFocusedUIElement").code,
              kAxNoValue);
    EXPECT_EQ(copyAttribute(frontElement, "AXFocusedUIElement").code,
              kAxNoValue);
  }
  const Strings frontTrips = fake::trips(front);
  EXPECT_EQ(std::count(frontTrips.begin(), frontTrips.end(),
                       "=AXManualAccessibility"),
            2);
  EXPECT_EQ(fake::trips(back),
            (Strings{"AXFocusedUIElement", "AXFocusedUIElement"}));
  EXPECT_EQ(fake::world().logs.size(), 2u);
}

// A TextEdit-like window: a text area with an emoji before the caret, and a
// password field above it.
TEST_F(MacosPlatformTest, ScansAWindowEndToEnd) {
  const AXUIElementRef app = fake::element(500);
  const AXUIElementRef window = fake::element(500);
  const AXUIElementRef area = fake::element(500);
  const AXUIElementRef password = passwordField(500);
  fake::answer(app, "AXFocusedWindow", window);
  fake::answer(app, "AXFocusedUIElement", area);
  fake::answer(window, "AXRole", fake::string(u"AXWindow"));
  fake::answer(window, "AXChildren", fake::array({password, area}));
  fake::answer(password, "AXParent", window);
  fake::answer(password, "AXPosition", fake::box(kAXValueTypeCGPoint, 10, 20));
  fake::answer(password, "AXSize", fake::box(kAXValueTypeCGSize, 200, 22));
  fake::answer(area, "AXSize", fake::box(kAXValueTypeCGSize, 780, 500));
  fake::answer(area, "AXRole", fake::string(u"AXTextArea"));
  fake::answer(area, "AXParent", window);
  fake::answer(area, "AXValue", fake::string(u"Hello \U0001F600 world"));
  fake::answer(area, "AXSelectedTextRange",
               fake::box(kAXValueTypeCFRange, 9, 0));
  fake::answer(area, "AXPosition", fake::box(kAXValueTypeCGPoint, 10, 50));
  makeFrontmost(app);

  const std::string reply = encodeReply(scanReply());
  EXPECT_NE(
      reply.find("cursor: \\\"Hello \xF0\x9F\x98\x80 |world\\\" (pos 8\\/13)"),
      std::string::npos)
      << reply;
  EXPECT_NE(reply.find("\\\"Password\\\""), std::string::npos) << reply;
  EXPECT_EQ(reply.find("\xF0\x9F\x98\x80\xF0\x9F\x98\x80"), std::string::npos);
  EXPECT_EQ(reply.find("hunt"), std::string::npos) << reply;

  // A "%" in a log line is an argument, never the format.
  logLine("100% \xFF");
  EXPECT_EQ(fake::world().logs.back(), "%@ 100% \xEF\xBF\xBD");
  fake::world().frontmost = -1;
  EXPECT_EQ(frontmostProcessId(), std::nullopt);
}

}  // namespace
}  // namespace kestreye::macos
