// The one way into the accessibility service of an operating system: the
// Platform interface, which each platform folder (memory/, atspi/, macos/)
// implements and exports through one factory, and the free functions through
// which the core reaches the platform that main installed. Nothing in this
// header names a platform type.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace kestreye {

/// Opaque reference to one platform element; only the installed platform
/// reads it.
using ElementRef = void*;

/// Takes one more counted reference through the installed platform.
void platformRetain(ElementRef ref);
/// Gives up one counted reference through the installed platform.
void platformRelease(ElementRef ref);

/// One accessibility element that owns one counted reference: copies retain,
/// destruction releases. An empty handle is valid and fails every read.
class Element {
 public:
  Element() noexcept = default;
  /// Wraps a reference the caller already owns; the handle takes it over.
  static Element adopt(ElementRef ref) noexcept { return Element(ref); }
  Element(const Element& other) noexcept : ref_(other.ref_) {
    if (ref_ != nullptr) platformRetain(ref_);
  }
  Element(Element&& other) noexcept
      : ref_(std::exchange(other.ref_, nullptr)) {}
  Element& operator=(Element other) noexcept {
    std::swap(ref_, other.ref_);
    return *this;
  }
  ~Element() {
    if (ref_ != nullptr) platformRelease(ref_);
  }

  /// The platform reference, still owned by this handle.
  ElementRef ref() const noexcept { return ref_; }
  /// True for the handle that refers to nothing.
  bool empty() const noexcept { return ref_ == nullptr; }

 private:
  explicit Element(ElementRef ref) noexcept : ref_(ref) {}
  ElementRef ref_ = nullptr;
};

/// A number object: an integer, a floating value or a Boolean object.
struct Number {
  enum class Kind { Boolean, Integer, Real };
  Kind kind = Kind::Integer;
  int64_t integer = 0;  ///< the value for Boolean (0 or 1) and Integer
  double real = 0;      ///< the value for Real

  /// The Boolean reading: the value is not zero (NaN reads true).
  bool boolValue() const;
  /// The integer reading: truncated toward zero, clamped to 64 bits, NaN as 0.
  int64_t integerValue() const;
};

/// A boxed point of two floating members.
struct Point {
  double x = 0;
  double y = 0;
};

/// A boxed size of two floating members.
struct Size {
  double w = 0;
  double h = 0;
};

/// A boxed range of two integer members.
struct Range {
  int64_t location = 0;
  int64_t length = 0;
};

/// A boxed rectangle, or any other boxed kind: no reader accepts it.
struct Rect {
  double x = 0;
  double y = 0;
  double w = 0;
  double h = 0;
};

struct RawValue;
/// An array value, entries in the platform's order.
using RawArray = std::vector<RawValue>;

/// Whatever a platform answers for one attribute. Text is the platform's
/// bytes as given: possibly invalid UTF-8, possibly with NULs.
struct RawValue {
  std::variant<std::string, Number, Point, Size, Range, Rect, Element, RawArray>
      v;
};

/// The subrole of a password field, whose text no platform ever hands out.
inline constexpr std::string_view SECURE_SUBROLE = "AXSecureTextField";

/// Platform result codes of a read, as macOS numbers them; 0 is success.
enum AxCode : int32_t {
  kAxSuccess = 0,
  kAxFailure = -25200,
  kAxIllegalArgument = -25201,
  kAxInvalidElement = -25202,
  kAxCannotComplete = -25204,
  kAxAttributeUnsupported = -25205,
  kAxNoValue = -25212,
};

/// The outcome of one attribute read: a result code and, on success, maybe a
/// value.
struct AttributeRead {
  int32_t code = kAxSuccess;
  std::optional<RawValue> value;
};

/// The accessibility service of one operating system, or a layer in front of
/// one. Every call comes from the one thread of the process.
/// A moment of the steady clock by which part of a scan must have ended.
using ScanDeadline = std::chrono::steady_clock::time_point;

class Platform {
 public:
  virtual ~Platform() = default;

  /// Takes one more counted reference to a non-null element reference.
  virtual void retain(ElementRef ref) = 0;
  /// Gives up one counted reference to a non-null element reference.
  virtual void release(ElementRef ref) = 0;
  /// Reads one attribute of an element; one round trip to the service.
  virtual AttributeRead copyAttribute(const Element& element,
                                      std::string_view attribute) = 0;
  /// Whether this process may read other applications' accessibility trees.
  virtual bool isProcessTrusted() = 0;
  /// Process id of the frontmost application, or none.
  virtual std::optional<int32_t> frontmostProcessId() = 0;
  /// The application element of a process; used without any check.
  virtual Element applicationElement(int32_t pid) = 0;
  /// Writes one diagnostic line to the platform's log, never to standard
  /// output.
  virtual void logLine(std::string_view line) = 0;
  /// Starts a scan: what the platform learns from here on belongs to it.
  /// After `readsEnd` no read waits on the service any more: a platform
  /// answers at once, with a failure unless it already holds the answer.
  virtual void beginScan(ScanDeadline readsEnd) { (void)readsEnd; }
  /// Ends a scan: forgets everything learned since beginScan (cached answers,
  /// hung applications), so that the next scan reads the desktop afresh.
  virtual void endScan() {}
};

/// Makes `platform` the one the free functions below and Element use; main
/// calls it once, before anything reads. The platform must outlive every
/// Element handle.
void installPlatform(Platform& platform);
/// The platform main installed; ends the process when there is none.
Platform& installedPlatform();

/// One scan of the installed platform: beginScan on construction, endScan on
/// destruction.
class ScanScope {
 public:
  explicit ScanScope(ScanDeadline readsEnd) {
    installedPlatform().beginScan(readsEnd);
  }
  ScanScope(const ScanScope&) = delete;
  ScanScope& operator=(const ScanScope&) = delete;
  ~ScanScope() { installedPlatform().endScan(); }
};

/// Reads one attribute of an element through the installed platform.
AttributeRead copyAttribute(const Element& element, std::string_view attribute);
/// Whether this process may read other applications' accessibility trees.
bool isProcessTrusted();
/// Process id of the frontmost application, or none.
std::optional<int32_t> frontmostProcessId();
/// The application element of a process; used without any check.
Element applicationElement(int32_t pid);
/// Writes one diagnostic line to the installed platform's log.
void logLine(std::string_view line);

}  // namespace kestreye
