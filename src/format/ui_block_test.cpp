#include "format/ui_block.h"

#include <gtest/gtest.h>

#include "platform/memory/test_support.h"

namespace kestreye {
namespace {

using testing::MemoryTest;

class UiBlockTest : public MemoryTest {
 protected:
  Element element(memory::Attributes attributes) {
    return memory::elementOf(memory::addNode(std::move(attributes)));
  }
  ElementInfo input(memory::Attributes attributes, int64_t x, int64_t y,
                    bool focused = false) {
    std::string role = std::get<std::string>(attributes.front().second.v);
    return ElementInfo{
        element(std::move(attributes)), role, x, y, 100, 20, focused};
  }
  ElementInfo button(memory::Attributes attributes) {
    return ElementInfo{
        element(std::move(attributes)), "AXButton", 0, 0, 10, 10, false};
  }
  std::string block(const Element& focused,
                    std::optional<std::string> label = std::nullopt,
                    const std::vector<ElementInfo>& inputs = {},
                    const std::vector<ElementInfo>& buttons = {},
                    const std::vector<std::string>& texts = {}) {
    return formatForLLM(focused, Position{120, 300}, Extent{200, 24}, label,
                        inputs, buttons, texts);
  }
};

TEST_F(UiBlockTest, TwelveLineExample) {
  memory::Attributes emailAttributes{{"AXRole", "AXTextField"},
                                     {"AXTitle", "Email"},
                                     {"AXValue", "ann"},
                                     {"AXSelectedTextRange", Range{3, 0}},
                                     {"AXInsertionPointLineNumber", 0}};
  memory::Node* email = memory::addNode(emailAttributes);
  const Element focused = memory::elementOf(email);
  const std::vector<ElementInfo> inputs = {
      input({{"AXRole", "AXCheckBox"},
             {"AXTitle", "Remember me"},
             {"AXValue", 1}},
            120, 380),
      input(
          {{"AXRole", "AXTextField"}, {"AXTitle", "Password"}, {"AXValue", ""}},
          120, 340),
      ElementInfo{focused, "AXTextField", 120, 300, 200, 24, true},
      input({{"AXRole", "AXPopUpButton"},
             {"AXTitle", "Region"},
             {"AXValue", "Europe"}},
            380, 300),
  };
  const std::vector<ElementInfo> buttons = {
      button({{"AXTitle", "Sign In"}}),
      button({{"AXTitle", ""}, {"AXDescription", "Help"}}),
      button({{"AXTitle", "Sign In"}}),
      button({}),
  };
  const std::vector<std::string> texts = {
      "Welcome back", "Forgot your password?", "Welcome back"};
  EXPECT_EQ(
      block(focused, "Sign in", inputs, buttons, texts),
      "Focused: [TextField] \"Email\" value: \"ann\" (FOCUSED) in \"Sign in\"\n"
      "cursor: \"ann|\" (pos 3/3, line 0)\n"
      "\n"
      "Form fields (tab order):\n"
      "  1. [TextField] \"Email\" value: \"ann\" (FOCUSED) \u2190 you are "
      "here\n"
      "  2. [Dropdown] \"Region\" value: \"Europe\"\n"
      "  3. [TextField] \"Password\"\n"
      "  4. [CheckBox] \"Remember me\"\n"
      "\n"
      "Actions: \"Sign In\", \"Help\"\n"
      "\n"
      "Nearby: \"Welcome back\", \"Forgot your password?\"");
}

TEST_F(UiBlockTest, OnlyTheFocusedLineWhenNothingElse) {
  const Element focused = element({{"AXRole", "AXButton"}, {"AXTitle", "OK"}});
  EXPECT_EQ(block(focused), "Focused: [Button] \"OK\" (FOCUSED)");
  EXPECT_EQ(block(Element()), "Focused: [] (FOCUSED)");
}

TEST_F(UiBlockTest, ContainerLabelIsCutAtEightyAndEmptyOneStillShows) {
  const Element focused = element({{"AXRole", "AXButton"}});
  EXPECT_EQ(block(focused, std::string(80, 'c')),
            "Focused: [Button] (FOCUSED) in \"" + std::string(80, 'c') + "\"");
  EXPECT_EQ(
      block(focused, std::string(81, 'c')),
      "Focused: [Button] (FOCUSED) in \"" + std::string(80, 'c') + "...\"");
  EXPECT_EQ(block(focused, ""), "Focused: [Button] (FOCUSED) in \"\"");
}

TEST_F(UiBlockTest, FormFieldsSortByExactTopLeftCornerAndStable) {
  const Element focused = element({{"AXRole", "AXButton"}});
  const std::vector<ElementInfo> inputs = {
      input({{"AXRole", "AXTextField"}, {"AXTitle", "c"}}, 0, 300),
      input({{"AXRole", "AXTextField"}, {"AXTitle", "b"}}, 900, 299),
      input({{"AXRole", "AXTextField"}, {"AXTitle", "d"}}, 5, 300),
      input({{"AXRole", "AXTextField"}, {"AXTitle", "e"}}, 5, 300, true),
      input({{"AXRole", "AXTextField"}, {"AXTitle", "a"}}, 50, 10, true),
  };
  EXPECT_EQ(block(focused, std::nullopt, inputs),
            "Focused: [Button] (FOCUSED)\n"
            "\n"
            "Form fields (tab order):\n"
            "  1. [TextField] \"a\" (FOCUSED) \u2190 you are here\n"
            "  2. [TextField] \"b\"\n"
            "  3. [TextField] \"c\"\n"
            "  4. [TextField] \"d\"\n"
            "  5. [TextField] \"e\" (FOCUSED) \u2190 you are here");
}

TEST_F(UiBlockTest, OverflowLineAfterTwelveFields) {
  const Element focused = element({{"AXRole", "AXButton"}});
  std::vector<ElementInfo> inputs;
  for (int i = 0; i < 12; ++i)
    inputs.push_back(input({{"AXRole", "AXSlider"}}, 0, i));
  EXPECT_EQ(block(focused, std::nullopt, inputs).find("...and"),
            std::string::npos);
  inputs.push_back(input({{"AXRole", "AXSlider"}}, 0, 100, true));
  const std::string withThirteen = block(focused, std::nullopt, inputs);
  EXPECT_NE(withThirteen.find("\n  12. [Slider]\n  ...and 1 more"),
            std::string::npos);
  // The focused entry sorted past the limit carries no marker anywhere.
  EXPECT_EQ(withThirteen.find("you are here"), std::string::npos);
  EXPECT_EQ(withThirteen.substr(withThirteen.size() - 15), "  ...and 1 more");
}

TEST_F(UiBlockTest, FieldsPastTheLimitAreNotDescribed) {
  const Element focused = element({{"AXRole", "AXButton"}});
  std::vector<ElementInfo> inputs;
  for (int i = 0; i < 15; ++i)
    inputs.push_back(input({{"AXRole", "AXSlider"}}, 0, i));
  const uint64_t before = memory::attributeReads();
  (void)block(focused, std::nullopt, inputs);
  // Role of the focused element, its nine description reads, the cursor line's
  // value read, and nine reads for each of the twelve shown fields.
  EXPECT_EQ(memory::attributeReads() - before, 1u + 9 + 1 + 12 * 9);
}

TEST_F(UiBlockTest, ActionsDeduplicateAfterShorteningAndKeepTen) {
  const Element focused = element({{"AXRole", "AXButton"}});
  std::vector<ElementInfo> buttons;
  buttons.push_back(button({{"AXTitle", std::string(50, 'x') + "1"}}));
  buttons.push_back(button({{"AXTitle", std::string(50, 'x') + "2"}}));
  buttons.push_back(
      button({{"AXTitle", "Both"}, {"AXDescription", "ignored"}}));
  for (int i = 0; i < 15; ++i)
    buttons.push_back(button({{"AXTitle", "B" + std::to_string(i)}}));
  const std::string text = block(focused, std::nullopt, {}, buttons);
  EXPECT_EQ(text, "Focused: [Button] (FOCUSED)\n\nActions: \"" +
                      std::string(50, 'x') +
                      "...\", \"Both\", \"B0\", \"B1\", \"B2\", \"B3\", "
                      "\"B4\", \"B5\", \"B6\", \"B7\"");
}

TEST_F(UiBlockTest, ActionsReadTitleAndDescriptionOfEveryButton) {
  const Element focused = element({{"AXRole", "AXButton"}});
  std::vector<ElementInfo> buttons;
  for (int i = 0; i < 20; ++i) buttons.push_back(button({{"AXTitle", "Same"}}));
  const uint64_t before = memory::attributeReads();
  (void)block(focused, std::nullopt, {}, buttons);
  EXPECT_EQ(memory::attributeReads() - before, 1u + 9 + 1 + 20 * 2);
}

TEST_F(UiBlockTest, SkippedButtonsLeaveNoSection) {
  const Element focused = element({{"AXRole", "AXButton"}});
  EXPECT_EQ(
      block(focused, std::nullopt, {}, {button({}), button({{"AXTitle", ""}})}),
      "Focused: [Button] (FOCUSED)");
}

TEST_F(UiBlockTest, NearbyTextsDeduplicateBeforeShorteningAndKeepEight) {
  const Element focused = element({{"AXRole", "AXButton"}});
  const std::string long1 = std::string(80, 'n') + "1";
  const std::string long2 = std::string(80, 'n') + "2";
  std::vector<std::string> texts = {"A", "B", "A", long1, long2};
  for (int i = 0; i < 6; ++i) texts.push_back("T" + std::to_string(i));
  const std::string cut = "\"" + std::string(80, 'n') + "...\"";
  EXPECT_EQ(block(focused, std::nullopt, {}, {}, texts),
            "Focused: [Button] (FOCUSED)\n\nNearby: \"A\", \"B\", " + cut +
                ", " + cut + ", \"T0\", \"T1\", \"T2\", \"T3\"");
}

TEST_F(UiBlockTest, CursorLineComesRightAfterTheFocusedLine) {
  const Element focused = element({{"AXRole", "AXTextArea"},
                                   {"AXValue", "hi"},
                                   {"AXSelectedTextRange", Range{0, 2}}});
  EXPECT_EQ(block(focused, std::nullopt, {}, {}, {"Some text"}),
            "Focused: [TextArea] value: \"hi\" (FOCUSED)\n"
            "cursor: \"[hi]\" (selected 0-2)\n"
            "\n"
            "Nearby: \"Some text\"");
}

}  // namespace
}  // namespace kestreye
