// JSON string literals, shared by the reply writer and the recorder.
#pragma once

#include <string>
#include <string_view>

namespace kestreye {

/// A JSON string literal of the text: compact RFC 8259 escaping with "/" as
/// "\/", non-ASCII raw; invalid UTF-8 is repaired first.
std::string jsonString(std::string_view text);

}  // namespace kestreye
