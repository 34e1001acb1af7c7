// The recording layer: a seam implementation that stands in front of a real
// platform, forwards every call to it, and remembers each answer, so that one
// live scan can be written down as a fixture and replayed byte for byte by
// the memory platform.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/backend.h"

namespace kestreye::record {

/// Sets the platform the seam forwards to; call before the first seam call.
void setBackend(const PlatformBackend& backend);

/// Forgets everything recorded and gives back every element held.
void reset();

/// Everything read since the last reset, as the text of a fixture file.
std::string fixtureJson();

/// Writes fixtureJson() to a file; on failure `error` says why.
bool writeFixture(const std::string& path, std::string* error);

// The seam's operations through the recorder; seam.cpp forwards to these.

/// Forwards a retain to the platform.
void retain(ElementRef ref);
/// Forwards a release to the platform.
void release(ElementRef ref);
/// Reads through the platform and records the element, the name and the answer.
AttributeRead copyAttribute(const Element& element, std::string_view attribute);
/// Asks the platform and records the answer.
bool isProcessTrusted();
/// Asks the platform and records the answer.
std::optional<int32_t> frontmostProcessId();
/// Asks the platform and records which element the process id gave.
Element applicationElement(int32_t pid);
/// Forwards a log line to the platform; log lines are not recorded.
void logLine(std::string_view line);

}  // namespace kestreye::record
