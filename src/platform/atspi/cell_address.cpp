#include "platform/atspi/cell_address.h"

#include <limits>

namespace kestreye::atspi {
namespace {

// Spreadsheets stop far below these: 16,384 columns, 1,048,576 rows.
constexpr int64_t kMaxIndex = std::numeric_limits<int32_t>::max();

bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The number at the start of `text` (one digit at least), which it then
// no longer holds; none when it is too large.
std::optional<int64_t> takeNumber(std::string_view& text) {
  int64_t value = 0;
  size_t i = 0;
  for (; i < text.size() && isDigit(text[i]); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > kMaxIndex) return std::nullopt;
  }
  if (i == 0) return std::nullopt;
  text.remove_prefix(i);
  return value;
}

}  // namespace

std::optional<CellAddress> parseCellAddress(std::string_view text) {
  // A range names its first cell first.
  if (const size_t colon = text.find(':'); colon != std::string_view::npos) {
    text = text.substr(0, colon);
  }
  // R1C1 notation: "R3C2".
  if (text.size() >= 4 && text[0] == 'R' && isDigit(text[1])) {
    std::string_view rest = text.substr(1);
    const std::optional<int64_t> row = takeNumber(rest);
    if (row.has_value() && !rest.empty() && rest[0] == 'C') {
      rest.remove_prefix(1);
      const std::optional<int64_t> column = takeNumber(rest);
      if (column.has_value() && rest.empty() && *row >= 1 && *column >= 1) {
        return CellAddress{static_cast<int32_t>(*row - 1),
                           static_cast<int32_t>(*column - 1)};
      }
    }
    return std::nullopt;
  }
  // A1 notation, each part possibly absolute: "B3", "$B$3".
  if (!text.empty() && text[0] == '$') text.remove_prefix(1);
  int64_t column = 0;
  size_t letters = 0;
  for (; letters < text.size() && isUpper(text[letters]); ++letters) {
    column = column * 26 + (text[letters] - 'A' + 1);
    if (column > kMaxIndex || letters >= 3) return std::nullopt;
  }
  if (letters == 0) return std::nullopt;
  text.remove_prefix(letters);
  if (!text.empty() && text[0] == '$') text.remove_prefix(1);
  const std::optional<int64_t> row = takeNumber(text);
  if (!row.has_value() || !text.empty() || *row < 1) return std::nullopt;
  return CellAddress{static_cast<int32_t>(*row - 1),
                     static_cast<int32_t>(column - 1)};
}

}  // namespace kestreye::atspi
