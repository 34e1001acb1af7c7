// CoreFoundation objects turned into the platform interface's values. Only the
// macOS platform's own sources include this header: it names Apple types.
#pragma once

#include <ApplicationServices/ApplicationServices.h>
#include <CoreFoundation/CoreFoundation.h>

#include <string>
#include <string_view>
#include <utility>

#include "platform/platform.h"

namespace kestreye::macos {

/// One owned CoreFoundation reference, released exactly once when dropped.
class CfOwned {
 public:
  CfOwned() noexcept = default;
  /// Takes over a reference the caller owns (a Create or Copy result; null is
  /// fine).
  explicit CfOwned(CFTypeRef ref) noexcept : ref_(ref) {}
  CfOwned(CfOwned&& other) noexcept
      : ref_(std::exchange(other.ref_, nullptr)) {}
  CfOwned(const CfOwned&) = delete;
  CfOwned& operator=(const CfOwned&) = delete;
  CfOwned& operator=(CfOwned&&) = delete;
  ~CfOwned() {
    if (ref_ != nullptr) CFRelease(ref_);
  }

  /// The reference, still owned here.
  CFTypeRef get() const noexcept { return ref_; }
  /// True when a reference is held.
  explicit operator bool() const noexcept { return ref_ != nullptr; }

 private:
  CFTypeRef ref_ = nullptr;
};

/// A new CFString of UTF-8 bytes (NULs kept); null when they are not UTF-8.
CfOwned cfStringFromUtf8(std::string_view utf8);

/// The UTF-8 text of a CFString: NULs kept, unpaired surrogates as U+FFFD.
std::string utf8FromCfString(CFStringRef string);

/// The platform interface's value for any CoreFoundation object the
/// accessibility service answers; elements inside it are retained, `value`
/// itself is left as it is.
RawValue rawValueFromCf(CFTypeRef value);

/// The read of one entry of a multiple-attribute answer: CFNull is "no
/// value", a boxed AXError is that error, anything else a value.
AttributeRead readFromMultipleEntry(CFTypeRef entry);

}  // namespace kestreye::macos
