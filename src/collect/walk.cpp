#include "collect/walk.h"

namespace kestreye {

std::optional<UsableFrame> usableFrame(const Element& element) {
  const auto position = axPosition(element);
  if (!position) return std::nullopt;
  const auto size = axSize(element);
  if (!size || size->w < 6 || size->h < 6) return std::nullopt;
  return UsableFrame{*position, *size};
}

}  // namespace kestreye
