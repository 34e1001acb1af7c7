// A spreadsheet cell's address as a spreadsheet's Name Box shows it: "B3",
// "$B$3" or "R3C2", and the first cell of a range ("B3:C4").
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kestreye::atspi {

/// A cell's row and column, counted from 0.
struct CellAddress {
  int32_t row = 0;
  int32_t column = 0;
};

/// The cell an address names, or none for any other text.
std::optional<CellAddress> parseCellAddress(std::string_view text);

}  // namespace kestreye::atspi
