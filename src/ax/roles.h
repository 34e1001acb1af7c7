// The shared vocabulary: role sets, limits and readable role words.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace kestreye {

/// A set of platform role names; membership is exact, case-sensitive equality.
using RoleSet = std::set<std::string, std::less<>>;

/// Roles of the input controls that become form fields.
extern const RoleSet INPUT_ROLES;
/// Roles of the elements that become buttons of the ancestor context.
extern const RoleSet INTERACTIVE_ROLES;

/// Most form-field lines in the block.
inline constexpr int64_t MAX_FORM_FIELDS = 12;
/// Most button labels in the block's actions line.
inline constexpr int64_t MAX_ACTIONS = 10;
/// Most nearby texts in the block.
inline constexpr int64_t MAX_TEXT_SNIPPETS = 8;
/// Characters of a label, value or placeholder before it is shortened.
inline constexpr int64_t MAX_STRING_LENGTH = 50;
/// Entries one counted walk may gather.
inline constexpr int64_t MAX_ELEMENTS = 500;
/// Elements one walk may examine before it stops: looping or heavily shared
/// subtrees would otherwise keep a depth-bounded walk busy for hours.
inline constexpr int64_t MAX_EXAMINED_ELEMENTS = 50000;

/// The short readable word of a platform role ("Unknown" when absent).
std::string readableRole(const std::optional<std::string>& role);

}  // namespace kestreye
