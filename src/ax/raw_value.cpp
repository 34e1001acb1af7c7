#include <cmath>
#include <cstdint>

#include "platform/platform.h"

namespace kestreye {

bool Number::boolValue() const {
  if (kind == Kind::Real) return real != 0.0;  // NaN compares unequal: true
  return integer != 0;
}

int64_t Number::integerValue() const {
  if (kind != Kind::Real) return integer;
  if (std::isnan(real)) return 0;
  if (real >= 9223372036854775808.0) return INT64_MAX;
  if (real <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(real);
}

}  // namespace kestreye
