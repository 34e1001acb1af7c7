// The macOS platform's real sources, run over the fake SDK of sdk_fake/:
// every copied value released once, every boxed value read as its own type,
// secure text withheld, hung applications given up, a whole scan.
#include "platform/macos/macos_platform.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "cli/reply.h"
#include "cli/scan.h"
#include "platform/macos/sdk_fake/fake_sdk.h"

namespace kestreye::macos {
namespace {

using Strings = std::vector<std::string>;

// Every test starts on an empty fake with a fresh platform and ends with
// every reference given back and no call the fake found wrong.
class MacosPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    installPlatform(*platform_);
  }
  void TearDown() override { EXPECT_EQ(fake::faults(), Strings{}); }

  std::unique_ptr<Platform> platform_ = makePlatform();
};

// A handle of the test's element, holding a reference of its own.
Element handle(AXUIElementRef element) {
  CFRetain(element);
  return Element::adopt(const_cast<void*>(static_cast<const void*>(element)));
}

AttributeRead read(AXUIElementRef element, const char* attribute) {
  return copyAttribute(handle(element), attribute);
}

// The value of one attribute of a fresh element that answers only it.
RawValue valueOf(CFTypeRef value) {
  const AXUIElementRef element = fake::element(42);
  fake::answer(element, "AXTitle", value);
  AttributeRead got = read(element, "AXTitle");
  EXPECT_EQ(got.code, kAxSuccess);
  return got.value ? std::move(*got.value) : RawValue{Rect{-1, -1, -1, -1}};
}

std::string textOf(const std::optional<RawValue>& value) {
  const auto* text = value ? std::get_if<std::string>(&value->v) : nullptr;
  return text == nullptr ? "<not text>" : *text;
}

template <typename T>
T as(const RawValue& value) {
  const T* got = std::get_if<T>(&value.v);
  EXPECT_NE(got, nullptr);
  return got == nullptr ? T{} : *got;
}

bool isEmptyRect(const RawValue& value) {
  const auto* rect = std::get_if<Rect>(&value.v);
  return rect != nullptr && rect->x == 0 && rect->y == 0 && rect->w == 0 &&
         rect->h == 0;
}

TEST_F(MacosPlatformTest, ReadsEachKindOfValue) {
  // Strings stored as UTF-16 and otherwise: NULs kept, a lone surrogate
  // replaced.
  const std::u16string units{u'H', 0xE9, 0, 0xD83D, 0xDE00, 0xD83D};
  const std::string utf8 =
      std::string("H\xC3\xA9\0\xF0\x9F\x98\x80", 8) + "\xEF\xBF\xBD";
  EXPECT_EQ(textOf(valueOf(fake::string(units))), utf8);
  EXPECT_EQ(textOf(valueOf(fake::string(units, /*direct=*/true))), utf8);
  EXPECT_EQ(textOf(valueOf(fake::string(u""))), "");

  const Number yes = as<Number>(valueOf(fake::boolean(true)));
  EXPECT_EQ(yes.kind, Number::Kind::Boolean);
  EXPECT_EQ(yes.integer, 1);
  EXPECT_EQ(as<Number>(valueOf(fake::boolean(false))).integer, 0);
  const int64_t low = std::numeric_limits<int64_t>::min();
  EXPECT_EQ(as<Number>(valueOf(fake::integer(low))).kind,
            Number::Kind::Integer);
  EXPECT_EQ(as<Number>(valueOf(fake::integer(low))).integer, low);
  EXPECT_EQ(as<Number>(valueOf(fake::real(-2.5))).kind, Number::Kind::Real);
  EXPECT_EQ(as<Number>(valueOf(fake::real(-2.5))).real, -2.5);

  EXPECT_EQ(as<Point>(valueOf(fake::point(10.9, -3.7))).y, -3.7);
  EXPECT_EQ(as<Size>(valueOf(fake::size(0.4, 1e300))).w, 0.4);
  EXPECT_EQ(as<Range>(valueOf(fake::range(-4, 7))).length, 7);
  EXPECT_EQ(as<Rect>(valueOf(fake::rect(1, 2, 3, 4))).w, 3);
  EXPECT_TRUE(isEmptyRect(valueOf(fake::null())));
}

TEST_F(MacosPlatformTest, ElementsAndArraysHoldTheirOwnReferences) {
  const AXUIElementRef parent = fake::element(42);
  fake::answer(parent, "AXRole", fake::string(u"AXGroup"));
  const AXUIElementRef child = fake::element(42);
  fake::answer(child, "AXParent", parent);
  {
    const Element got = as<Element>(*read(child, "AXParent").value);
    EXPECT_EQ(got.ref(), parent);
    // While the handle lives, the parent carries one reference more.
    EXPECT_EQ(fake::faults().size(), 1u);
    EXPECT_EQ(textOf(copyAttribute(got, "AXRole").value), "AXGroup");
  }
  const RawArray entries = as<RawArray>(
      valueOf(fake::array({child, fake::array({parent}), fake::string(u"t")})));
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(as<Element>(entries[0]).ref(), child);
  EXPECT_EQ(as<Element>(as<RawArray>(entries[1]).at(0)).ref(), parent);
  EXPECT_EQ(textOf(entries[2]), "t");

  // Nesting from another process is cut at 32 arrays.
  CFTypeRef deep = fake::string(u"bottom");
  for (int i = 0; i < 40; ++i) deep = fake::array({deep});
  RawValue level = valueOf(deep);
  int arrays = 0;
  for (; std::holds_alternative<RawArray>(level.v); ++arrays) {
    RawValue inner = std::move(std::get<RawArray>(level.v).at(0));
    level = std::move(inner);
  }
  EXPECT_EQ(arrays, 32);
  EXPECT_TRUE(isEmptyRect(level));
}

TEST_F(MacosPlatformTest, PassesFailuresOnAndReleasesWhatTheyLeave) {
  const AXUIElementRef element = fake::element(42);
  fake::answer(element, "AXTitle", fake::string(u"stale"), kAXErrorNoValue);
  fake::answer(element, "AXHelp", nullptr, kAXErrorInvalidUIElement);
  fake::answer(element, "AXDescription", nullptr);
  EXPECT_EQ(read(element, "AXTitle").code, kAxNoValue);
  EXPECT_FALSE(read(element, "AXTitle").value);
  EXPECT_EQ(read(element, "AXHelp").code, kAxInvalidElement);
  EXPECT_EQ(read(element, "AXNothing").code, kAxAttributeUnsupported);
  EXPECT_EQ(read(element, "AXDescription").code, kAxSuccess);
  EXPECT_FALSE(read(element, "AXDescription").value);
  EXPECT_EQ(copyAttribute(Element(), "AXRole").code, kAxIllegalArgument);
}

AXUIElementRef passwordField(pid_t pid) {
  const AXUIElementRef field = fake::element(pid);
  fake::answer(field, "AXRole", fake::string(u"AXTextField"));
  fake::answer(field, "AXSubrole", fake::string(u"AXSecureTextField"));
  fake::answer(field, "AXTitle", fake::string(u"Password"));
  fake::answer(field, "AXValue", fake::string(u"\U0001F600\U0001F600"));
  fake::answer(field, "AXSelectedText", fake::string(u"hunt"));
  fake::answer(field, "AXSelectedTextRange", fake::range(4, 0));
  return field;
}

TEST_F(MacosPlatformTest, WithholdsSecureTextInTheSameRoundTrip) {
  const AXUIElementRef field = passwordField(42);
  EXPECT_EQ(read(field, "AXValue").code, kAxAttributeUnsupported);
  EXPECT_FALSE(read(field, "AXSelectedText").value);
  EXPECT_EQ(textOf(read(field, "AXTitle").value), "Password");
  // Not counted in the withheld text: four units stay four.
  EXPECT_EQ(as<Range>(*read(field, "AXSelectedTextRange").value).location, 4);
  EXPECT_EQ(fake::trips(field)[0], "AXSubrole+AXValue");

  // An application without combined reads: the subrole alone, and the
  // secret itself never asked for.
  const AXUIElementRef old = passwordField(42);
  fake::failCombined(old, kAXErrorNotImplemented);
  EXPECT_EQ(read(old, "AXValue").code, kAxAttributeUnsupported);
  EXPECT_EQ(fake::trips(old), (Strings{"AXSubrole+AXValue", "AXSubrole"}));

  // An entry that failed carries its own error, kCFNull is no value, and a
  // subrole that is not secure leaves the value alone.
  const AXUIElementRef search = fake::element(42);
  fake::answer(search, "AXSubrole", fake::string(u"AXSearchField"));
  fake::answer(search, "AXValue", fake::string(u"query"));
  EXPECT_EQ(textOf(read(search, "AXValue").value), "query");
  fake::answer(search, "AXValue", nullptr, kAXErrorIllegalArgument);
  EXPECT_EQ(read(search, "AXValue").code, kAxIllegalArgument);
  fake::answer(search, "AXValue", nullptr);
  EXPECT_EQ(read(search, "AXValue").code, kAxNoValue);
  // An element that is gone is not asked again one attribute at a time.
  fake::failCombined(search, kAXErrorInvalidUIElement);
  EXPECT_EQ(read(search, "AXValue").code, kAxInvalidElement);
  EXPECT_EQ(fake::trips(search).size(), 4u);
}

TEST_F(MacosPlatformTest, HandsTheSelectedRangeOverInCharacters) {
  // U+1F600 then "ab": the selection from unit 3 is character 2.
  const AXUIElementRef area = fake::element(42);
  fake::answer(area, "AXValue", fake::string(u"\U0001F600ab"));
  fake::answer(area, "AXSelectedTextRange", fake::range(3, 1));
  const Range range = as<Range>(*read(area, "AXSelectedTextRange").value);
  EXPECT_EQ(range.location, 2);
  EXPECT_EQ(range.length, 1);
  EXPECT_EQ(fake::trips(area),
            Strings{"AXSubrole+AXValue+AXSelectedTextRange"});
  fake::failCombined(area, kAXErrorFailure);
  EXPECT_EQ(as<Range>(*read(area, "AXSelectedTextRange").value).location, 2);
}

TEST_F(MacosPlatformTest, StopsAskingAnApplicationThatHung) {
  constexpr pid_t kHung = 9001;
  fake::hang(kHung);
  const AXUIElementRef first = fake::element(kHung);
  const AXUIElementRef second = fake::element(kHung);
  EXPECT_EQ(read(first, "AXRole").code, kAxCannotComplete);
  EXPECT_EQ(read(second, "AXValue").code, kAxCannotComplete);
  EXPECT_EQ(read(first, "AXTitle").code, kAxCannotComplete);
  EXPECT_EQ(fake::trips(first).size() + fake::trips(second).size(), 1u);
  // The next scan asks again.
  platform_->endScan();
  EXPECT_EQ(read(first, "AXRole").code, kAxCannotComplete);
  EXPECT_EQ(fake::trips(first).size() + fake::trips(second).size(), 2u);

  // One entry of a combined answer is enough to give the application up.
  const AXUIElementRef field = fake::element(77);
  fake::answer(field, "AXSubrole", nullptr, kAXErrorCannotComplete);
  fake::answer(field, "AXRole", fake::string(u"AXTextField"));
  EXPECT_EQ(read(field, "AXValue").code, kAxCannotComplete);
  EXPECT_EQ(read(field, "AXRole").code, kAxCannotComplete);
  EXPECT_EQ(fake::trips(field).size(), 1u);
}

TEST_F(MacosPlatformTest, PermissionFrontmostApplicationAndLog) {
  fake::setTrusted(true);
  EXPECT_TRUE(isProcessTrusted());
  fake::setFrontmost(321);
  EXPECT_EQ(frontmostProcessId(), std::optional<int32_t>(321));
  // NSRunningApplication answers -1 for an application without a process.
  fake::setFrontmost(-1);
  EXPECT_EQ(frontmostProcessId(), std::nullopt);

  const AXUIElementRef application = fake::element(77);
  fake::setApplication(77, application);
  EXPECT_EQ(applicationElement(77).ref(), application);
  EXPECT_FALSE(applicationElement(78).empty());

  logLine("[kestreye] 100% done %s %n");
  logLine("bad \xFF byte");
  ASSERT_EQ(fake::logCalls().size(), 2u);
  EXPECT_EQ(fake::logCalls()[0].format, "%@");
  EXPECT_EQ(fake::logCalls()[0].message, "[kestreye] 100% done %s %n");
  EXPECT_TRUE(fake::logCalls()[0].inPool);
  EXPECT_EQ(fake::logCalls()[1].message, "bad \xEF\xBF\xBD byte");
}

// A TextEdit-like window: a text area with an emoji before the caret, and a
// password field above it.
TEST_F(MacosPlatformTest, ScansAWindowEndToEnd) {
  constexpr pid_t kApp = 500;
  const AXUIElementRef app = fake::element(kApp);
  const AXUIElementRef window = fake::element(kApp);
  const AXUIElementRef area = fake::element(kApp);
  const AXUIElementRef password = passwordField(kApp);
  fake::answer(app, "AXRole", fake::string(u"AXApplication"));
  fake::answer(app, "AXFocusedWindow", window);
  fake::answer(app, "AXFocusedUIElement", area);
  fake::answer(window, "AXRole", fake::string(u"AXWindow"));
  fake::answer(window, "AXParent", app);
  fake::answer(window, "AXChildren", fake::array({password, area}));
  fake::answer(window, "AXSize", fake::size(800, 600));
  fake::answer(password, "AXParent", window);
  fake::answer(password, "AXPosition", fake::point(10, 20.5));
  fake::answer(password, "AXSize", fake::size(200, 22));
  fake::answer(area, "AXRole", fake::string(u"AXTextArea"));
  fake::answer(area, "AXParent", window);
  fake::answer(area, "AXValue", fake::string(u"Hello \U0001F600 world"));
  fake::answer(area, "AXSelectedTextRange", fake::range(9, 0));
  fake::answer(area, "AXFocused", fake::boolean(true));
  fake::answer(area, "AXPosition", fake::point(10, 50));
  fake::answer(area, "AXSize", fake::size(780, 500));
  fake::setApplication(kApp, app);
  fake::setTrusted(true);
  fake::setFrontmost(kApp);

  const std::string reply = encodeReply(scanReply());
  EXPECT_NE(reply.find("cursor: \\\"Hello \xF0\x9F\x98\x80 |world\\\" "
                       "(pos 8\\/13)"),
            std::string::npos)
      << reply;
  EXPECT_NE(reply.find("\\\"Password\\\""), std::string::npos) << reply;
  EXPECT_EQ(reply.find("\xF0\x9F\x98\x80\xF0\x9F\x98\x80"), std::string::npos);
  EXPECT_EQ(reply.find("hunt"), std::string::npos) << reply;

  // Without permission nothing else is asked: the log line's two strings.
  fake::setTrusted(false);
  const int made = fake::objectsMadeByPlatform();
  EXPECT_NE(
      encodeReply(scanReply()).find("Accessibility permission not granted"),
      std::string::npos);
  EXPECT_EQ(fake::objectsMadeByPlatform(), made + 2);
}

}  // namespace
}  // namespace kestreye::macos
