#include "platform/atspi/cell_address.h"

#include <gtest/gtest.h>

namespace kestreye::atspi {
namespace {

void expectCell(std::string_view text, int32_t row, int32_t column) {
  const std::optional<CellAddress> cell = parseCellAddress(text);
  ASSERT_TRUE(cell.has_value()) << text;
  EXPECT_EQ(cell->row, row) << text;
  EXPECT_EQ(cell->column, column) << text;
}

TEST(CellAddressTest, A1Notation) {
  expectCell("A1", 0, 0);
  expectCell("B3", 2, 1);
  expectCell("$B$3", 2, 1);
  expectCell("Z10", 9, 25);
  expectCell("AA1", 0, 26);
  expectCell("XFD1048576", 1048575, 16383);
}

TEST(CellAddressTest, RangeNamesItsFirstCell) { expectCell("B3:C4", 2, 1); }

TEST(CellAddressTest, R1C1Notation) {
  expectCell("R1C1", 0, 0);
  expectCell("R3C2", 2, 1);
}

TEST(CellAddressTest, OtherTextsNameNoCell) {
  for (std::string_view text :
       {"", "A", "1", "A0", "a1", "10 pt", "DejaVu Sans", "ABCD1", "A1B",
        "R0C1", "RC", "R1C", "Sheet1", "A99999999999", "$", "A$"}) {
    EXPECT_FALSE(parseCellAddress(text).has_value()) << text;
  }
}

}  // namespace
}  // namespace kestreye::atspi
