// Writes the JSON fixture format that fixture_loader.cpp reads: whatever a
// platform answered comes back from the loaded file exactly as given.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace kestreye::memory {

/// The fixture id of an element that a value holds.
using FixtureIdOf = std::function<std::string(const Element&)>;

/// One element as a fixture lists it.
struct FixtureElement {
  std::string id;
  /// Attribute name and the fixtureAnswer of its read, in the order given.
  std::vector<std::pair<std::string, std::string>> attributes;
};

/// Everything a fixture file holds; a member not set is left out.
struct FixtureContents {
  std::optional<bool> trusted;
  /// Set once asked: the frontmost process id, or none (written as null).
  std::optional<std::optional<int32_t>> frontmost;
  std::map<int32_t, std::string> applications;  ///< process id -> element id
  std::vector<FixtureElement> elements;
};

/// The fixture JSON of one attribute read: its value, the failure's result
/// code, or no value; `idOf` names every element the value holds.
std::string fixtureAnswer(const AttributeRead& read, const FixtureIdOf& idOf);

/// The text of a fixture file.
std::string fixtureText(const FixtureContents& contents);

/// Writes `text` to the file `path`; on failure `error` says why.
bool writeFixtureFile(const std::string& path, std::string_view text,
                      std::string* error);

}  // namespace kestreye::memory
