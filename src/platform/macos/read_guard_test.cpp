#include "platform/macos/read_guard.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <variant>
#include <vector>

namespace kestreye::macos {
namespace {

AttributeRead text(std::string value) {
  return AttributeRead{kAxSuccess, RawValue{std::move(value)}};
}

AttributeRead range(int64_t location, int64_t length) {
  return AttributeRead{kAxSuccess, RawValue{Range{location, length}}};
}

AttributeRead failure(int32_t code) {
  return AttributeRead{code, std::nullopt};
}

// One element of a fake application: answers from a table and writes down
// each round trip, as "AXRole" for a single read and "AXSubrole+AXValue" for
// a combined one.
struct FakeElement {
  std::map<std::string, AttributeRead, std::less<>> attributes;
  int32_t combinedCode =
      kAxSuccess;                  // what the combined call as a whole answers
  bool combinedDropsLast = false;  // a malformed answer, one entry short
  std::vector<std::string> trips;

  AttributeRead lookup(std::string_view name) const {
    const auto it = attributes.find(name);
    if (it == attributes.end()) return failure(kAxAttributeUnsupported);
    return it->second;
  }

  ElementReads reads() {
    return ElementReads{
        [this](std::string_view name) {
          trips.emplace_back(name);
          return lookup(name);
        },
        [this](std::span<const std::string_view> names) {
          std::string trip;
          for (const std::string_view name : names) {
            if (!trip.empty()) trip += "+";
            trip += name;
          }
          trips.push_back(trip);
          MultiRead read;
          read.code = combinedCode;
          if (combinedCode != kAxSuccess) return read;
          for (const std::string_view name : names) {
            read.reads.push_back(lookup(name));
          }
          if (combinedDropsLast) read.reads.pop_back();
          return read;
        },
    };
  }
};

FakeElement passwordField() {
  FakeElement field;
  field.attributes.emplace("AXRole", text("AXTextField"));
  field.attributes.emplace("AXSubrole", text("AXSecureTextField"));
  field.attributes.emplace("AXValue", text("hunter2"));
  field.attributes.emplace("AXSelectedText", text("hunt"));
  field.attributes.emplace("AXSelectedTextRange", range(0, 4));
  field.attributes.emplace("AXTitle", text("Password"));
  return field;
}

FakeElement textField(std::string value) {
  FakeElement field;
  field.attributes.emplace("AXRole", text("AXTextField"));
  field.attributes.emplace("AXValue", text(std::move(value)));
  return field;
}

std::string textOf(const AttributeRead& read) {
  if (!read.value) return "<none>";
  const auto* value = std::get_if<std::string>(&read.value->v);
  return value == nullptr ? "<not text>" : *value;
}

Range rangeOf(const AttributeRead& read) {
  if (!read.value) return Range{-1000, -1000};
  const auto* value = std::get_if<Range>(&read.value->v);
  return value == nullptr ? Range{-2000, -2000} : *value;
}

using Trips = std::vector<std::string>;

TEST(GuardedRead, ReadsAnOrdinaryAttributeInOneTrip) {
  FakeElement field = textField("abc");
  UnresponsiveApps apps;
  const AttributeRead read = guardedRead(field.reads(), 42, "AXRole", apps);
  EXPECT_EQ(read.code, kAxSuccess);
  EXPECT_EQ(textOf(read), "AXTextField");
  EXPECT_EQ(field.trips, Trips{"AXRole"});
}

TEST(GuardedRead, PassesFailuresOnUnchanged) {
  FakeElement field = textField("abc");
  field.attributes.emplace("AXTitle", failure(kAxNoValue));
  UnresponsiveApps apps;
  const AttributeRead read = guardedRead(field.reads(), 42, "AXTitle", apps);
  EXPECT_EQ(read.code, kAxNoValue);
  EXPECT_FALSE(read.value);
}

TEST(GuardedRead, ReadsTheValueWithItsSubroleInOneTrip) {
  FakeElement field = textField("abc");
  UnresponsiveApps apps;
  const AttributeRead read = guardedRead(field.reads(), 42, "AXValue", apps);
  EXPECT_EQ(read.code, kAxSuccess);
  EXPECT_EQ(textOf(read), "abc");
  EXPECT_EQ(field.trips, Trips{"AXSubrole+AXValue"});
}

TEST(GuardedRead, WithholdsTheTextOfASecureField) {
  FakeElement field = passwordField();
  UnresponsiveApps apps;
  const AttributeRead value = guardedRead(field.reads(), 42, "AXValue", apps);
  EXPECT_EQ(value.code, kAxAttributeUnsupported);
  EXPECT_FALSE(value.value);
  const AttributeRead selected =
      guardedRead(field.reads(), 42, "AXSelectedText", apps);
  EXPECT_EQ(selected.code, kAxAttributeUnsupported);
  EXPECT_FALSE(selected.value);
}

TEST(GuardedRead, LeavesTheOtherAttributesOfASecureFieldReadable) {
  FakeElement field = passwordField();
  UnresponsiveApps apps;
  EXPECT_EQ(textOf(guardedRead(field.reads(), 42, "AXTitle", apps)),
            "Password");
  EXPECT_EQ(textOf(guardedRead(field.reads(), 42, "AXRole", apps)),
            "AXTextField");
}

TEST(GuardedRead, ChecksTheSubroleFirstWhenTheCombinedCallFails) {
  FakeElement field = passwordField();
  field.combinedCode = -25208;  // not implemented by this application
  UnresponsiveApps apps;
  const AttributeRead read = guardedRead(field.reads(), 42, "AXValue", apps);
  EXPECT_EQ(read.code, kAxAttributeUnsupported);
  EXPECT_FALSE(read.value);
  // The secret itself is never asked for.
  EXPECT_EQ(field.trips, (Trips{"AXSubrole+AXValue", "AXSubrole"}));
}

TEST(GuardedRead, FallsBackToSingleReadsOnAMalformedCombinedAnswer) {
  FakeElement field = textField("abc");
  field.combinedDropsLast = true;
  UnresponsiveApps apps;
  const AttributeRead read = guardedRead(field.reads(), 42, "AXValue", apps);
  EXPECT_EQ(textOf(read), "abc");
  EXPECT_EQ(field.trips, (Trips{"AXSubrole+AXValue", "AXSubrole", "AXValue"}));
}

TEST(GuardedRead, DoesNotRetryAnElementThatIsGone) {
  FakeElement field = textField("abc");
  field.combinedCode = kAxInvalidElement;
  UnresponsiveApps apps;
  const AttributeRead read = guardedRead(field.reads(), 42, "AXValue", apps);
  EXPECT_EQ(read.code, kAxInvalidElement);
  EXPECT_EQ(field.trips, Trips{"AXSubrole+AXValue"});
}

TEST(GuardedRead, AnUnreadableSubroleIsNotSecure) {
  FakeElement field = textField("abc");
  field.attributes.emplace("AXSubrole", failure(kAxNoValue));
  UnresponsiveApps apps;
  EXPECT_EQ(textOf(guardedRead(field.reads(), 42, "AXValue", apps)), "abc");
  FakeElement search = textField("query");
  search.attributes.emplace("AXSubrole", text("AXSearchField"));
  EXPECT_EQ(textOf(guardedRead(search.reads(), 42, "AXValue", apps)), "query");
}

TEST(GuardedRead, HandsTheCaretOverInCharacters) {
  // U+1F600 then "ab": the caret after "a" is unit 3, character 2.
  FakeElement field = textField(
      "\xF0\x9F\x98\x80"
      "ab");
  field.attributes.emplace("AXSelectedTextRange", range(3, 1));
  UnresponsiveApps apps;
  const AttributeRead read =
      guardedRead(field.reads(), 42, "AXSelectedTextRange", apps);
  EXPECT_EQ(read.code, kAxSuccess);
  EXPECT_EQ(rangeOf(read).location, 2);
  EXPECT_EQ(rangeOf(read).length, 1);
  EXPECT_EQ(field.trips, Trips{"AXSubrole+AXValue+AXSelectedTextRange"});
}

TEST(GuardedRead, ConvertsTheCaretAfterSingleReadsToo) {
  FakeElement field = textField(
      "\xF0\x9F\x98\x80\xF0\x9F\x98\x80"
      "ab");
  field.attributes.emplace("AXSelectedTextRange", range(4, 0));
  field.combinedCode = kAxFailure;
  UnresponsiveApps apps;
  const AttributeRead read =
      guardedRead(field.reads(), 42, "AXSelectedTextRange", apps);
  EXPECT_EQ(rangeOf(read).location, 2);
  EXPECT_EQ(rangeOf(read).length, 0);
  EXPECT_EQ(field.trips,
            (Trips{"AXSubrole+AXValue+AXSelectedTextRange",
                   "AXSelectedTextRange", "AXSubrole", "AXValue"}));
}

TEST(GuardedRead, LeavesTheRangeAloneWithoutTextToCountIn) {
  FakeElement slider;
  slider.attributes.emplace("AXValue",
                            AttributeRead{kAxSuccess, RawValue{Number{}}});
  slider.attributes.emplace("AXSelectedTextRange", range(7, 3));
  UnresponsiveApps apps;
  const AttributeRead read =
      guardedRead(slider.reads(), 42, "AXSelectedTextRange", apps);
  EXPECT_EQ(rangeOf(read).location, 7);
  EXPECT_EQ(rangeOf(read).length, 3);

  FakeElement password = passwordField();
  password.attributes["AXValue"] = text("\xF0\x9F\x98\x80\xF0\x9F\x98\x80");
  password.attributes["AXSelectedTextRange"] = range(4, 0);
  const AttributeRead secret =
      guardedRead(password.reads(), 42, "AXSelectedTextRange", apps);
  // Not counted in the withheld text: still four units, not two characters.
  EXPECT_EQ(rangeOf(secret).location, 4);
}

TEST(GuardedRead, PassesAFailedRangeReadOn) {
  FakeElement field = textField("abc");
  UnresponsiveApps apps;
  const AttributeRead read =
      guardedRead(field.reads(), 42, "AXSelectedTextRange", apps);
  EXPECT_EQ(read.code, kAxAttributeUnsupported);
  EXPECT_FALSE(read.value);
}

TEST(GuardedRead, StopsAskingAnApplicationThatCannotComplete) {
  FakeElement hung = textField("abc");
  hung.attributes["AXRole"] = failure(kAxCannotComplete);
  FakeElement sibling = textField("def");  // same application
  FakeElement other = textField("ghi");    // another application
  UnresponsiveApps apps;

  EXPECT_EQ(guardedRead(hung.reads(), 42, "AXRole", apps).code,
            kAxCannotComplete);
  EXPECT_TRUE(apps.contains(42));
  const AttributeRead later = guardedRead(sibling.reads(), 42, "AXValue", apps);
  EXPECT_EQ(later.code, kAxCannotComplete);
  EXPECT_FALSE(later.value);
  EXPECT_TRUE(sibling.trips.empty());
  EXPECT_EQ(textOf(guardedRead(other.reads(), 7, "AXValue", apps)), "ghi");
  EXPECT_FALSE(apps.contains(7));
}

TEST(GuardedRead, ACombinedCallThatCannotCompleteIsNotRetried) {
  FakeElement hung = textField("abc");
  hung.combinedCode = kAxCannotComplete;
  UnresponsiveApps apps;
  EXPECT_EQ(guardedRead(hung.reads(), 42, "AXValue", apps).code,
            kAxCannotComplete);
  EXPECT_EQ(hung.trips, Trips{"AXSubrole+AXValue"});
  EXPECT_TRUE(apps.contains(42));
}

TEST(GuardedRead, OneEntryThatCannotCompleteMarksTheApplication) {
  FakeElement field = textField("abc");
  field.attributes["AXSubrole"] = failure(kAxCannotComplete);
  UnresponsiveApps apps;
  const AttributeRead read = guardedRead(field.reads(), 42, "AXValue", apps);
  EXPECT_EQ(read.code, kAxCannotComplete);
  EXPECT_FALSE(read.value);
  EXPECT_TRUE(apps.contains(42));
}

TEST(GuardedRead, StopsWithinOneReadAfterCannotComplete) {
  FakeElement field = textField("abc");
  field.attributes.emplace("AXSelectedTextRange", range(1, 0));
  field.attributes["AXSubrole"] = failure(kAxCannotComplete);
  field.combinedCode = kAxFailure;
  UnresponsiveApps apps;
  const AttributeRead read =
      guardedRead(field.reads(), 42, "AXSelectedTextRange", apps);
  EXPECT_EQ(read.code, kAxCannotComplete);
  EXPECT_EQ(field.trips, (Trips{"AXSubrole+AXValue+AXSelectedTextRange",
                                "AXSelectedTextRange", "AXSubrole"}));
}

TEST(GuardedRead, WithoutAProcessIdNothingIsRemembered) {
  FakeElement hung = textField("abc");
  hung.attributes["AXRole"] = failure(kAxCannotComplete);
  UnresponsiveApps apps;
  EXPECT_EQ(guardedRead(hung.reads(), std::nullopt, "AXRole", apps).code,
            kAxCannotComplete);
  hung.attributes["AXRole"] = text("AXTextField");
  EXPECT_EQ(textOf(guardedRead(hung.reads(), std::nullopt, "AXRole", apps)),
            "AXTextField");
}

TEST(IsWithheldWhenSecure, CoversTheTextAttributesOnly) {
  EXPECT_TRUE(isWithheldWhenSecure("AXValue"));
  EXPECT_TRUE(isWithheldWhenSecure("AXSelectedText"));
  EXPECT_FALSE(isWithheldWhenSecure("AXSelectedTextRange"));
  EXPECT_FALSE(isWithheldWhenSecure("AXTitle"));
  EXPECT_FALSE(isWithheldWhenSecure("axvalue"));
}

}  // namespace
}  // namespace kestreye::macos
