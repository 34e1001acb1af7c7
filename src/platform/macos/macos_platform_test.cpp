// The macOS platform's real sources, run over the fake SDK of sdk_fake/.
#include "platform/macos/macos_platform.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "cli/reply.h"
#include "cli/scan.h"
#include "platform/macos/sdk_fake/fake_sdk.h"
#include "platform/platform.h"

namespace kestreye::macos {
namespace {

using Strings = std::vector<std::string>;

// Every test starts on an empty fake and ends with every reference given
// back: the test's objects at their one reference, the platform's freed.
class MacosPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fake::reset();
    installPlatform(*platform_);
  }
  void TearDown() override {
    EXPECT_EQ(fake::misuses(), Strings{});
    EXPECT_EQ(fake::imbalances(), Strings{});
    EXPECT_EQ(fake::openPools(), 0);
    EXPECT_EQ(fake::strayMessages(), Strings{});
  }

  std::unique_ptr<Platform> platform_ = makePlatform();
};

// A handle of the test's element, holding a reference of its own.
Element handle(AXUIElementRef element) {
  CFRetain(element);
  return Element::adopt(const_cast<void*>(static_cast<const void*>(element)));
}

AXUIElementRef refOf(const Element& element) {
  return static_cast<AXUIElementRef>(element.ref());
}

// The value of one attribute of a fresh element that answers only it.
RawValue valueOf(CFTypeRef value) {
  const AXUIElementRef element = fake::element(42);
  fake::answer(element, "AXTitle", value);
  AttributeRead read = copyAttribute(handle(element), "AXTitle");
  EXPECT_EQ(read.code, kAxSuccess);
  if (!read.value) {
    ADD_FAILURE() << "no value";
    return RawValue{Rect{-1, -1, -1, -1}};
  }
  return std::move(*read.value);
}

std::string textOf(const RawValue& value) {
  const auto* text = std::get_if<std::string>(&value.v);
  return text == nullptr ? "<not text>" : *text;
}

bool isEmptyRect(const RawValue& value) {
  const auto* rect = std::get_if<Rect>(&value.v);
  return rect != nullptr && rect->x == 0 && rect->y == 0 && rect->w == 0 &&
         rect->h == 0;
}

TEST_F(MacosPlatformTest, ReadsStringsAsUtf8) {
  const std::u16string text = u"H\u00e9\u20ac\U0001F600";
  EXPECT_EQ(textOf(valueOf(fake::string(text))),
            "H\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(textOf(valueOf(fake::string(text, /*direct=*/true))),
            "H\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
}

TEST_F(MacosPlatformTest, KeepsNulsAndReplacesLoneSurrogates) {
  const std::u16string text{u'a', 0, u'b', 0xD83D};
  const std::string expected = std::string("a\0b", 3) + "\xEF\xBF\xBD";
  EXPECT_EQ(textOf(valueOf(fake::string(text))), expected);
  EXPECT_EQ(textOf(valueOf(fake::string(text, true))), expected);
}

TEST_F(MacosPlatformTest, AnEmptyStringIsAPresentEmptyText) {
  EXPECT_EQ(textOf(valueOf(fake::string(u""))), "");
}

TEST_F(MacosPlatformTest, ReadsBooleansAsBooleanNumbers) {
  const RawValue yes = valueOf(fake::boolean(true));
  const auto* number = std::get_if<Number>(&yes.v);
  ASSERT_NE(number, nullptr);
  EXPECT_EQ(number->kind, Number::Kind::Boolean);
  EXPECT_EQ(number->integer, 1);
  const RawValue no = valueOf(fake::boolean(false));
  ASSERT_NE(std::get_if<Number>(&no.v), nullptr);
  EXPECT_EQ(std::get<Number>(no.v).kind, Number::Kind::Boolean);
  EXPECT_EQ(std::get<Number>(no.v).integer, 0);
}

TEST_F(MacosPlatformTest, ReadsIntegerAndFloatingNumbers) {
  const RawValue low =
      valueOf(fake::integer(std::numeric_limits<int64_t>::min()));
  ASSERT_NE(std::get_if<Number>(&low.v), nullptr);
  EXPECT_EQ(std::get<Number>(low.v).kind, Number::Kind::Integer);
  EXPECT_EQ(std::get<Number>(low.v).integer,
            std::numeric_limits<int64_t>::min());
  const RawValue half = valueOf(fake::real(-2.5));
  ASSERT_NE(std::get_if<Number>(&half.v), nullptr);
  EXPECT_EQ(std::get<Number>(half.v).kind, Number::Kind::Real);
  EXPECT_EQ(std::get<Number>(half.v).real, -2.5);
}

TEST_F(MacosPlatformTest, UnboxesPointsSizesAndRanges) {
  const RawValue point = valueOf(fake::point(10.9, -3.7));
  ASSERT_NE(std::get_if<Point>(&point.v), nullptr);
  EXPECT_EQ(std::get<Point>(point.v).x, 10.9);
  EXPECT_EQ(std::get<Point>(point.v).y, -3.7);
  const RawValue size = valueOf(fake::size(0.4, 1e300));
  ASSERT_NE(std::get_if<Size>(&size.v), nullptr);
  EXPECT_EQ(std::get<Size>(size.v).w, 0.4);
  EXPECT_EQ(std::get<Size>(size.v).h, 1e300);
  const RawValue range = valueOf(fake::range(-4, 7));
  ASSERT_NE(std::get_if<Range>(&range.v), nullptr);
  EXPECT_EQ(std::get<Range>(range.v).location, -4);
  EXPECT_EQ(std::get<Range>(range.v).length, 7);
}

TEST_F(MacosPlatformTest, GivesRectanglesAndUnknownKindsNoReadableShape) {
  const RawValue rect = valueOf(fake::rect(1, 2, 3, 4));
  ASSERT_NE(std::get_if<Rect>(&rect.v), nullptr);
  EXPECT_EQ(std::get<Rect>(rect.v).w, 3);
  EXPECT_TRUE(isEmptyRect(valueOf(fake::other())));
  EXPECT_TRUE(isEmptyRect(valueOf(fake::null())));
}

TEST_F(MacosPlatformTest, ElementValuesHoldTheirOwnReference) {
  const AXUIElementRef parent = fake::element(42);
  fake::answer(parent, "AXRole", fake::string(u"AXGroup"));
  const AXUIElementRef child = fake::element(42);
  fake::answer(child, "AXParent", parent);
  {
    AttributeRead read = copyAttribute(handle(child), "AXParent");
    ASSERT_TRUE(read.value);
    const auto* element = std::get_if<Element>(&read.value->v);
    ASSERT_NE(element, nullptr);
    EXPECT_EQ(refOf(*element), parent);
    // While the handle lives, the parent carries one reference more.
    EXPECT_EQ(fake::imbalances().size(), 1u);
    EXPECT_EQ(textOf(*copyAttribute(*element, "AXRole").value), "AXGroup");
  }
  EXPECT_EQ(fake::imbalances(), Strings{});
}

TEST_F(MacosPlatformTest, ConvertsArraysEntryByEntry) {
  const AXUIElementRef first = fake::element(42);
  const AXUIElementRef second = fake::element(42);
  const CFArrayRef inner = fake::array({second});
  const RawValue value =
      valueOf(fake::array({first, fake::string(u"text"), inner}));
  const auto* entries = std::get_if<RawArray>(&value.v);
  ASSERT_NE(entries, nullptr);
  ASSERT_EQ(entries->size(), 3u);
  ASSERT_NE(std::get_if<Element>(&(*entries)[0].v), nullptr);
  EXPECT_EQ(refOf(std::get<Element>((*entries)[0].v)), first);
  EXPECT_EQ(textOf((*entries)[1]), "text");
  const auto* nested = std::get_if<RawArray>(&(*entries)[2].v);
  ASSERT_NE(nested, nullptr);
  ASSERT_EQ(nested->size(), 1u);
  ASSERT_NE(std::get_if<Element>(&(*nested)[0].v), nullptr);
  EXPECT_EQ(refOf(std::get<Element>((*nested)[0].v)), second);
}

TEST_F(MacosPlatformTest, StopsDescendingIntoArraysAtAFixedDepth) {
  CFTypeRef value = fake::string(u"bottom");
  for (int i = 0; i < 40; ++i) value = fake::array({value});
  const RawValue top = valueOf(value);
  const RawValue* level = &top;
  int arrays = 0;
  while (const auto* entries = std::get_if<RawArray>(&level->v)) {
    ASSERT_EQ(entries->size(), 1u);
    level = &(*entries)[0];
    ++arrays;
  }
  EXPECT_EQ(arrays, 32);
  EXPECT_TRUE(isEmptyRect(*level));
}

TEST_F(MacosPlatformTest, PassesFailureCodesOnAndReleasesWhatFailedCallsLeave) {
  const AXUIElementRef element = fake::element(42);
  fake::fail(element, "AXTitle", kAXErrorNoValue, fake::string(u"stale"));
  fake::fail(element, "AXHelp", kAXErrorInvalidUIElement);
  const AttributeRead title = copyAttribute(handle(element), "AXTitle");
  EXPECT_EQ(title.code, kAxNoValue);
  EXPECT_FALSE(title.value);
  EXPECT_EQ(copyAttribute(handle(element), "AXHelp").code, kAxInvalidElement);
  EXPECT_EQ(copyAttribute(handle(element), "AXNothing").code,
            kAxAttributeUnsupported);
}

TEST_F(MacosPlatformTest, ASuccessWithoutAValueHasNoValue) {
  const AXUIElementRef element = fake::element(42);
  fake::answer(element, "AXTitle", nullptr);
  const AttributeRead read = copyAttribute(handle(element), "AXTitle");
  EXPECT_EQ(read.code, kAxSuccess);
  EXPECT_FALSE(read.value);
}

TEST_F(MacosPlatformTest, AnEmptyHandleFailsWithoutARoundTrip) {
  EXPECT_EQ(copyAttribute(Element(), "AXRole").code, kAxIllegalArgument);
  EXPECT_EQ(fake::objectsMadeByPlatform(), 0);
}

AXUIElementRef passwordField(pid_t pid) {
  const AXUIElementRef field = fake::element(pid);
  fake::answer(field, "AXRole", fake::string(u"AXTextField"));
  fake::answer(field, "AXSubrole", fake::string(u"AXSecureTextField"));
  fake::answer(field, "AXTitle", fake::string(u"Password"));
  fake::answer(field, "AXValue", fake::string(u"hunter2"));
  fake::answer(field, "AXSelectedText", fake::string(u"hunt"));
  return field;
}

TEST_F(MacosPlatformTest, WithholdsTheTextOfSecureFieldsInOneRoundTrip) {
  const AXUIElementRef field = passwordField(42);
  const AttributeRead value = copyAttribute(handle(field), "AXValue");
  EXPECT_EQ(value.code, kAxAttributeUnsupported);
  EXPECT_FALSE(value.value);
  EXPECT_EQ(copyAttribute(handle(field), "AXSelectedText").code,
            kAxAttributeUnsupported);
  EXPECT_EQ(textOf(*copyAttribute(handle(field), "AXTitle").value), "Password");
  EXPECT_EQ(
      fake::trips(field),
      (Strings{"AXSubrole+AXValue", "AXSubrole+AXSelectedText", "AXTitle"}));
}

TEST_F(MacosPlatformTest, ChecksTheSubroleAloneWhenCombinedReadsFail) {
  const AXUIElementRef field = passwordField(42);
  fake::failCombined(field, kAXErrorNotImplemented);
  EXPECT_EQ(copyAttribute(handle(field), "AXValue").code,
            kAxAttributeUnsupported);
  EXPECT_EQ(fake::trips(field), (Strings{"AXSubrole+AXValue", "AXSubrole"}));

  const AXUIElementRef plain = fake::element(42);
  fake::answer(plain, "AXValue", fake::string(u"visible"));
  fake::failCombined(plain, kAXErrorFailure);
  EXPECT_EQ(textOf(*copyAttribute(handle(plain), "AXValue").value), "visible");
}

TEST_F(MacosPlatformTest, MapsTheEntriesOfACombinedAnswer) {
  // No subrole (a boxed error in its place) and a value that is kCFNull.
  const AXUIElementRef empty = fake::element(42);
  fake::answer(empty, "AXValue", nullptr);
  EXPECT_EQ(copyAttribute(handle(empty), "AXValue").code, kAxNoValue);
  // A value that fails carries its own error.
  const AXUIElementRef unsupported = fake::element(42);
  fake::fail(unsupported, "AXValue", kAXErrorIllegalArgument);
  EXPECT_EQ(copyAttribute(handle(unsupported), "AXValue").code,
            kAxIllegalArgument);
  // A subrole that is not secure leaves the value alone.
  const AXUIElementRef search = fake::element(42);
  fake::answer(search, "AXSubrole", fake::string(u"AXSearchField"));
  fake::answer(search, "AXValue", fake::string(u"query"));
  EXPECT_EQ(textOf(*copyAttribute(handle(search), "AXValue").value), "query");
}

TEST_F(MacosPlatformTest, HandsTheSelectedRangeOverInCharacters) {
  const AXUIElementRef area = fake::element(42);
  fake::answer(area, "AXValue", fake::string(u"\U0001F600ab"));
  fake::answer(area, "AXSelectedTextRange", fake::range(3, 1));
  const AttributeRead read = copyAttribute(handle(area), "AXSelectedTextRange");
  ASSERT_TRUE(read.value);
  ASSERT_NE(std::get_if<Range>(&read.value->v), nullptr);
  EXPECT_EQ(std::get<Range>(read.value->v).location, 2);
  EXPECT_EQ(std::get<Range>(read.value->v).length, 1);
  EXPECT_EQ(fake::trips(area),
            Strings{"AXSubrole+AXValue+AXSelectedTextRange"});
}

TEST_F(MacosPlatformTest, StopsAskingAnApplicationThatHung) {
  constexpr pid_t kHung = 9001;
  fake::hang(kHung);
  const AXUIElementRef first = fake::element(kHung);
  const AXUIElementRef second = fake::element(kHung);
  EXPECT_EQ(copyAttribute(handle(first), "AXRole").code, kAxCannotComplete);
  EXPECT_EQ(fake::tripsTo(kHung), 1);
  EXPECT_EQ(copyAttribute(handle(second), "AXValue").code, kAxCannotComplete);
  EXPECT_EQ(copyAttribute(handle(first), "AXTitle").code, kAxCannotComplete);
  EXPECT_EQ(fake::tripsTo(kHung), 1);
}

TEST_F(MacosPlatformTest, AnElementWithoutAPidIsStillRead) {
  constexpr pid_t kHung = 9002;
  fake::hang(kHung);
  const AXUIElementRef element = fake::element(kHung);
  fake::hidePid(element);
  EXPECT_EQ(copyAttribute(handle(element), "AXRole").code, kAxCannotComplete);
  EXPECT_EQ(copyAttribute(handle(element), "AXRole").code, kAxCannotComplete);
  // Nothing could be remembered without the pid, so both reads were made.
  EXPECT_EQ(fake::tripsTo(kHung), 2);
}

TEST_F(MacosPlatformTest, AsksForPermissionWithoutPrompting) {
  fake::setTrusted(false);
  EXPECT_FALSE(isProcessTrusted());
  fake::setTrusted(true);
  EXPECT_TRUE(isProcessTrusted());
}

TEST_F(MacosPlatformTest, FindsTheFrontmostProcessThroughNSWorkspace) {
  fake::workspace().processIdentifier = 321;
  EXPECT_EQ(frontmostProcessId(), std::optional<int32_t>(321));
  EXPECT_EQ(fake::drainedPools(), 1);
}

TEST_F(MacosPlatformTest, AnswersNoFrontmostProcessAtEveryNil) {
  fake::workspace().processIdentifier = 321;
  fake::workspace().frontmost = false;
  EXPECT_EQ(frontmostProcessId(), std::nullopt);
  fake::workspace().frontmost = true;
  fake::workspace().shared = false;
  EXPECT_EQ(frontmostProcessId(), std::nullopt);
  fake::workspace().shared = true;
  fake::workspace().processIdentifier = -1;
  EXPECT_EQ(frontmostProcessId(), std::nullopt);
  fake::workspace().processIdentifier = 321;
  fake::workspace().classLoaded = false;
  EXPECT_EQ(frontmostProcessId(), std::nullopt);
}

TEST_F(MacosPlatformTest, MakesApplicationElements) {
  const AXUIElementRef application = fake::element(77);
  fake::answer(application, "AXRole", fake::string(u"AXApplication"));
  fake::setApplication(77, application);
  {
    const Element element = applicationElement(77);
    EXPECT_EQ(refOf(element), application);
    EXPECT_EQ(textOf(*copyAttribute(element, "AXRole").value), "AXApplication");
  }
  // An element the fake makes itself must be released by the handle too.
  const Element unknown = applicationElement(78);
  EXPECT_FALSE(unknown.empty());
}

TEST_F(MacosPlatformTest, LogsThroughAFixedFormat) {
  logLine("[kestreye] 100% done %s %n");
  logLine("bad \xFF byte");
  ASSERT_EQ(fake::logCalls().size(), 2u);
  EXPECT_EQ(fake::logCalls()[0].format, "%@");
  EXPECT_EQ(fake::logCalls()[0].message, "[kestreye] 100% done %s %n");
  EXPECT_EQ(fake::logCalls()[0].openPools, 1);
  EXPECT_EQ(fake::logCalls()[1].message, "bad \xEF\xBF\xBD byte");
}

// A TextEdit-like window: a text area with an emoji before the caret, and a
// password field above it.
TEST_F(MacosPlatformTest, ScansAWindowEndToEnd) {
  constexpr pid_t kApp = 500;
  const AXUIElementRef app = fake::element(kApp);
  const AXUIElementRef window = fake::element(kApp);
  const AXUIElementRef scroll = fake::element(kApp);
  const AXUIElementRef area = fake::element(kApp);
  const AXUIElementRef password = passwordField(kApp);

  fake::answer(app, "AXRole", fake::string(u"AXApplication"));
  fake::answer(app, "AXFocusedWindow", window);
  fake::answer(app, "AXFocusedUIElement", area);
  fake::answer(window, "AXRole", fake::string(u"AXWindow"));
  fake::answer(window, "AXTitle", fake::string(u"Untitled"));
  fake::answer(window, "AXParent", app);
  fake::answer(window, "AXChildren", fake::array({password, scroll}));
  fake::answer(window, "AXPosition", fake::point(0, 0));
  fake::answer(window, "AXSize", fake::size(800, 600));
  fake::answer(scroll, "AXRole", fake::string(u"AXScrollArea"));
  fake::answer(scroll, "AXParent", window);
  fake::answer(scroll, "AXChildren", fake::array({area}));
  fake::answer(password, "AXParent", window);
  fake::answer(password, "AXPosition", fake::point(10, 20.5));
  fake::answer(password, "AXSize", fake::size(200, 22));
  fake::answer(area, "AXRole", fake::string(u"AXTextArea"));
  fake::answer(area, "AXParent", scroll);
  fake::answer(area, "AXValue", fake::string(u"Hello \U0001F600 world"));
  fake::answer(area, "AXSelectedTextRange", fake::range(9, 0));
  fake::answer(area, "AXInsertionPointLineNumber", fake::integer(0));
  fake::answer(area, "AXFocused", fake::boolean(true));
  fake::answer(area, "AXPosition", fake::point(10, 50));
  fake::answer(area, "AXSize", fake::size(780, 500));
  fake::setApplication(kApp, app);
  fake::setTrusted(true);
  fake::workspace().processIdentifier = kApp;

  const std::string reply = encodeReply(scanReply());

  EXPECT_NE(reply.find("\"success\":true"), std::string::npos) << reply;
  EXPECT_NE(reply.find("cursor: \\\"Hello \xF0\x9F\x98\x80 |world\\\" "
                       "(pos 8\\/13, line 0)"),
            std::string::npos)
      << reply;
  EXPECT_NE(reply.find("\\\"Password\\\""), std::string::npos) << reply;
  EXPECT_EQ(reply.find("hunter2"), std::string::npos) << reply;
  EXPECT_EQ(reply.find("hunt"), std::string::npos) << reply;
  ASSERT_FALSE(fake::logCalls().empty());
  EXPECT_EQ(
      fake::logCalls().back().message.rfind("[kestreye] scan complete: ", 0),
      0u);
}

TEST_F(MacosPlatformTest, ScanWithoutPermissionAsksNothingElse) {
  fake::setTrusted(false);
  fake::workspace().processIdentifier = 500;
  const std::string reply = encodeReply(scanReply());
  EXPECT_NE(reply.find("Accessibility permission not granted"),
            std::string::npos);
  EXPECT_EQ(fake::drainedPools(), 1);  // the log line's pool, no workspace
  EXPECT_EQ(fake::objectsMadeByPlatform(), 2);  // the log line's two strings
}

}  // namespace
}  // namespace kestreye::macos
