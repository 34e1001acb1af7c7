// Text from the accessibility tree, made fit to stand inside the UI context
// block: it can neither break a line of the block nor reorder or hide what
// follows it, and no one character of it can grow without bound.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestreye {

/// Most code points one shown user-perceived character keeps.
inline constexpr size_t MAX_CHARACTER_CODE_POINTS = 32;

/// The valid UTF-8 text as the block shows it: U+000A as backslash-n, U+000D as
/// backslash-r, U+0009 as one space, the other C0/C1 controls, U+2028, U+2029
/// and the bidi embeddings, overrides and isolates dropped, and each character
/// cut to its first MAX_CHARACTER_CODE_POINTS code points.
std::string safeText(std::string_view text);

}  // namespace kestreye
