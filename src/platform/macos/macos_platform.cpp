#include "platform/macos/macos_platform.h"

#include <ApplicationServices/ApplicationServices.h>
#include <CoreFoundation/CoreFoundation.h>
#include <objc/message.h>
#include <objc/runtime.h>
#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "platform/macos/cf_values.h"
#include "platform/macos/read_guard.h"
#include "text/text.h"

// Foundation's logger is a plain C function, but its header is Objective-C.
// An NSString pointer and a CFStringRef are the same object (toll-free
// bridged), so the function is declared here with the CoreFoundation type.
extern "C" void NSLog(CFStringRef format, ...);

namespace kestreye::macos {
namespace {

using std::chrono::milliseconds;

constexpr std::string_view kFocusedUIElement = "AXFocusedUIElement";
constexpr std::string_view kRole = "AXRole";
constexpr std::string_view kChildren = "AXChildren";
constexpr std::string_view kWebArea = "AXWebArea";
// Electron's documented switch for assistive technologies other than
// VoiceOver; Chromium's browsers honour it too. Not AXEnhancedUserInterface,
// which also changes how many applications animate and place their windows.
constexpr std::string_view kManualAccessibility = "AXManualAccessibility";
// How long the tree of a woken application is awaited, and how often its
// focus is read meanwhile: Chromium builds it some tens of milliseconds
// after it is asked to.
constexpr milliseconds kWakeWait{1000};
constexpr milliseconds kWakePoll{50};
// A call's limit, however little time is left: the service refuses zero.
constexpr milliseconds kShortestLimit{1};

// How much of the time left before the scan's reads end one call may take.
enum class Patience {
  Half,  ///< ends before the reads end, so that a hang leaves time to go on
  Whole  ///< may run to the reads' end: the first call to an application
         ///< and the focus read, which a large application answers slowly
};

AXUIElementRef axElement(ElementRef ref) {
  return static_cast<AXUIElementRef>(ref);
}

// objc_msgSend has no prototype of its own (or a variadic one, with old
// dispatch prototypes): it must be called through a pointer of the exact
// function type of the method, or arguments and results go astray on arm64.
// The detour through void (*)() is the cast every compiler accepts silently.
template <typename Result>
Result send(id receiver, const char* selector) {
  using Method = Result (*)(id, SEL);
  const auto method =
      reinterpret_cast<Method>(reinterpret_cast<void (*)()>(objc_msgSend));
  return method(receiver, sel_registerName(selector));
}

// The class object as a receiver. Older runtime headers declare
// objc_getClass as returning id, newer ones Class; the cast serves both.
id classNamed(const char* name) {
  return reinterpret_cast<id>(objc_getClass(name));
}

// AppKit hands out autoreleased objects; a command-line tool has no run loop
// to drain them, so each use of Objective-C objects gets its own pool.
class AutoreleasePool {
 public:
  AutoreleasePool() {
    const id poolClass = classNamed("NSAutoreleasePool");
    if (poolClass == nullptr) return;
    const id allocated = send<id>(poolClass, "alloc");
    if (allocated != nullptr) pool_ = send<id>(allocated, "init");
  }
  AutoreleasePool(const AutoreleasePool&) = delete;
  AutoreleasePool& operator=(const AutoreleasePool&) = delete;
  ~AutoreleasePool() {
    if (pool_ != nullptr) send<void>(pool_, "drain");
  }

 private:
  id pool_ = nullptr;
};

// The pid is stored in the element itself: no round trip to the
// application, so it answers even when the application has hung.
std::optional<int32_t> processOf(AXUIElementRef element) {
  pid_t owner = 0;
  if (AXUIElementGetPid(element, &owner) != kAXErrorSuccess)
    return std::nullopt;
  return static_cast<int32_t>(owner);
}

AttributeRead copyOne(AXUIElementRef element, std::string_view attribute) {
  const CfOwned name = cfStringFromUtf8(attribute);
  if (!name) return AttributeRead{kAxIllegalArgument, std::nullopt};
  CFTypeRef copied = nullptr;
  const AXError code = AXUIElementCopyAttributeValue(
      element, static_cast<CFStringRef>(name.get()), &copied);
  // Owned from here on, whatever the code says: a failed call may still
  // have left a value behind.
  const CfOwned value(copied);
  if (code != kAXErrorSuccess) {
    return AttributeRead{static_cast<int32_t>(code), std::nullopt};
  }
  if (!value) return AttributeRead{kAxSuccess, std::nullopt};
  return AttributeRead{kAxSuccess, rawValueFromCf(value.get())};
}

MultiRead copyMany(AXUIElementRef element,
                   std::span<const std::string_view> attributes) {
  std::vector<CfOwned> names;
  std::vector<CFTypeRef> nameRefs;
  names.reserve(attributes.size());
  nameRefs.reserve(attributes.size());
  for (const std::string_view attribute : attributes) {
    names.push_back(cfStringFromUtf8(attribute));
    if (!names.back()) return MultiRead{kAxIllegalArgument, {}};
    nameRefs.push_back(names.back().get());
  }
  const CfOwned list(CFArrayCreate(kCFAllocatorDefault, nameRefs.data(),
                                   static_cast<CFIndex>(nameRefs.size()),
                                   &kCFTypeArrayCallBacks));
  if (!list) return MultiRead{kAxFailure, {}};

  // Options 0: a failing attribute comes back as a boxed AXError in its
  // place instead of failing the whole call.
  CFArrayRef copied = nullptr;
  const AXError code = AXUIElementCopyMultipleAttributeValues(
      element, static_cast<CFArrayRef>(list.get()),
      static_cast<AXCopyMultipleAttributeOptions>(0), &copied);
  const CfOwned values(copied);
  if (code != kAXErrorSuccess) return MultiRead{static_cast<int32_t>(code), {}};
  if (!values || CFGetTypeID(values.get()) != CFArrayGetTypeID()) {
    return MultiRead{kAxFailure, {}};
  }
  MultiRead result;
  const CFIndex count = CFArrayGetCount(copied);
  for (CFIndex i = 0; i < count; ++i) {
    result.reads.push_back(
        readFromMultipleEntry(CFArrayGetValueAtIndex(copied, i)));
  }
  return result;
}

// Why a focus read calls for AXManualAccessibility: Electron shows no focused
// element until it is set, Chromium an empty web area.
enum class WakeReason { None, NoFocus, EmptyWebArea };

class MacosPlatform final : public Platform {
 public:
  explicit MacosPlatform(Clock clock) : clock_(std::move(clock)) {}
  void retain(ElementRef ref) override;
  void release(ElementRef ref) override;
  AttributeRead copyAttribute(const Element& element,
                              std::string_view attribute) override;
  bool isProcessTrusted() override;
  std::optional<int32_t> frontmostProcessId() override;
  Element applicationElement(int32_t pid) override;
  void logLine(std::string_view line) override;
  void beginScan(ScanDeadline readsEnd) override {
    endScan();
    readsEnd_ = readsEnd;
  }
  void endScan() override {
    unresponsive_.clear();
    contacted_.clear();
    readsEnd_ = ScanDeadline::max();
    frontmostPid_.reset();
    frontmostApp_.reset();
    woken_ = false;
  }

 private:
  // One round trip to `ax` of process `pid`, made by `call` (which answers
  // its code), with the limit `patience` gives it; false when none was made.
  template <typename Call>
  bool trip(AXUIElementRef ax, std::optional<int32_t> pid, Patience patience,
            Call call);
  AttributeRead read(AXUIElementRef ax, std::optional<int32_t> pid,
                     std::string_view attribute);
  AttributeRead focusOf(AXUIElementRef application, int32_t pid);
  WakeReason wakeReason(const AttributeRead& focus, int32_t pid);
  std::optional<int32_t> setManualAccessibility(AXUIElementRef application,
                                                int32_t pid);

  Clock clock_;
  // Applications whose own call ran out its limit during this scan.
  UnresponsiveApps unresponsive_;
  // Applications called during this scan.
  std::unordered_set<int32_t> contacted_;
  // After it, a read would only make the scan late.
  ScanDeadline readsEnd_ = ScanDeadline::max();
  // The frontmost application of this scan, and its element once made.
  std::optional<int32_t> frontmostPid_;
  std::optional<CfOwned> frontmostApp_;
  // Whether this scan set AXManualAccessibility already.
  bool woken_ = false;
};

template <typename Call>
bool MacosPlatform::trip(AXUIElementRef ax, std::optional<int32_t> pid,
                         Patience patience, Call call) {
  const ScanDeadline start = clock_.now();
  if (start >= readsEnd_ || (pid && unresponsive_.contains(*pid))) {
    return false;
  }
  if (pid && contacted_.insert(*pid).second) patience = Patience::Whole;
  // Outside a scan (a test reading the platform directly) a call keeps the
  // service's own limit.
  std::optional<ScanDeadline::duration> limit;
  if (readsEnd_ != ScanDeadline::max()) {
    const ScanDeadline::duration left = readsEnd_ - start;
    limit = std::max<ScanDeadline::duration>(
        patience == Patience::Whole ? left : left / 2, kShortestLimit);
    // The limit belongs to this element object alone (Apple: not to others
    // equal to it), so it is set on every element before its call.
    (void)AXUIElementSetMessagingTimeout(
        ax, std::chrono::duration<float>(*limit).count());
  }
  const int32_t code = call();
  if (limit && pid) {
    // The service answers "cannot complete" when the limit runs out, by its
    // own reckoning: one that comes in the limit's last tenth is its timeout.
    // A slow answer within the limit is no hang.
    const ScanDeadline::duration took = clock_.now() - start;
    if (took >= *limit ||
        (code == kAxCannotComplete && took >= *limit - *limit / 10)) {
      unresponsive_.add(*pid);
    }
  }
  return true;
}

AttributeRead MacosPlatform::read(AXUIElementRef ax, std::optional<int32_t> pid,
                                  std::string_view attribute) {
  const Patience patience =
      attribute == kFocusedUIElement ? Patience::Whole : Patience::Half;
  const ElementReads reads{
      [&](std::string_view name) {
        AttributeRead result{kAxCannotComplete, std::nullopt};
        trip(ax, pid, patience, [&] {
          result = copyOne(ax, name);
          return result.code;
        });
        return result;
      },
      [&](std::span<const std::string_view> names) {
        MultiRead result{kAxCannotComplete, {}};
        trip(ax, pid, patience, [&] {
          result = copyMany(ax, names);
          return result.code;
        });
        return result;
      },
  };
  return guardedRead(reads, pid, attribute, unresponsive_);
}

WakeReason MacosPlatform::wakeReason(const AttributeRead& focus, int32_t pid) {
  // A hung or vanished application, or a scan out of time, is not woken.
  if (unresponsive_.contains(pid) || focus.code == kAxCannotComplete ||
      focus.code == kAxInvalidElement) {
    return WakeReason::None;
  }
  if (focus.code != kAxSuccess || !focus.value) return WakeReason::NoFocus;
  const Element* focused = std::get_if<Element>(&focus.value->v);
  if (focused == nullptr) return WakeReason::None;
  // The focused element may belong to another process (a panel that
  // another process serves), whose own calls are judged apart.
  const AXUIElementRef ax = axElement(focused->ref());
  const std::optional<int32_t> owner = processOf(ax);
  const AttributeRead role = read(ax, owner, kRole);
  const std::string* roleText =
      role.value ? std::get_if<std::string>(&role.value->v) : nullptr;
  if (roleText == nullptr || *roleText != kWebArea) return WakeReason::None;
  // Counted, not copied: a woken page's web area may have many children.
  const CfOwned name = cfStringFromUtf8(kChildren);
  CFIndex count = -1;
  AXError code = kAXErrorCannotComplete;
  trip(ax, owner, Patience::Half, [&] {
    code = AXUIElementGetAttributeValueCount(
        ax, static_cast<CFStringRef>(name.get()), &count);
    return static_cast<int32_t>(code);
  });
  // Children that cannot be read are none, as for the walks; a web area
  // that did not answer is not taken for an empty one.
  if (code == kAXErrorCannotComplete || code == kAXErrorInvalidUIElement) {
    return WakeReason::None;
  }
  return code != kAXErrorSuccess || count == 0 ? WakeReason::EmptyWebArea
                                               : WakeReason::None;
}

// The set's result code; none when the scan had no time left for it.
std::optional<int32_t> MacosPlatform::setManualAccessibility(
    AXUIElementRef application, int32_t pid) {
  const CfOwned name = cfStringFromUtf8(kManualAccessibility);
  int32_t code = kAxCannotComplete;
  const bool made = trip(application, pid, Patience::Half, [&] {
    code = AXUIElementSetAttributeValue(
        application, static_cast<CFStringRef>(name.get()), kCFBooleanTrue);
    return code;
  });
  if (!made) return std::nullopt;
  return code;
}

// The focus of the frontmost application. Electron builds the tree of its
// web content, and Chromium fills its web area, only once an assistive
// technology sets AXManualAccessibility on the application element; until
// then this read finds no focus, or an empty web area. Setting it is what
// assistive technologies do, and the tree stays built for the next scan. It
// is set at most once per scan, and only here.
AttributeRead MacosPlatform::focusOf(AXUIElementRef application, int32_t pid) {
  AttributeRead focus = read(application, pid, kFocusedUIElement);
  const WakeReason reason = wakeReason(focus, pid);
  if (reason == WakeReason::None || woken_) return focus;
  woken_ = true;
  // An application that already built its tree for an earlier scan (Electron
  // answers the attribute since 2023) has nothing focused: no set, no wait.
  const AttributeRead asked = read(application, pid, kManualAccessibility);
  const Number* wanted =
      asked.value ? std::get_if<Number>(&asked.value->v) : nullptr;
  if (wanted != nullptr && wanted->boolValue()) return focus;
  const std::optional<int32_t> made = setManualAccessibility(application, pid);
  if (!made) return focus;
  const int32_t code = *made;
  const ScanDeadline setAt = clock_.now();
  logLine("[kestreye] AXManualAccessibility set on pid " + std::to_string(pid) +
          (reason == WakeReason::NoFocus ? " (no focused element)"
                                         : " (empty web area)") +
          (code == kAxSuccess ? ": accepted"
                              : ": refused, error " + std::to_string(code)));
  // An application without the attribute refuses it (some Electron releases
  // refuse it too, yet build the tree: their next scan reads it). Only an
  // empty web area says the tree may still come.
  if (code == kAxCannotComplete ||
      (code != kAxSuccess && reason != WakeReason::EmptyWebArea)) {
    return focus;
  }
  const ScanDeadline waitEnd = std::min(setAt + kWakeWait, readsEnd_);
  while (clock_.now() + kWakePoll <= waitEnd) {
    clock_.sleep(kWakePoll);
    focus = read(application, pid, kFocusedUIElement);
    if (wakeReason(focus, pid) == WakeReason::None) break;
  }
  return focus;
}

void MacosPlatform::retain(ElementRef ref) {
  CFRetain(static_cast<CFTypeRef>(ref));
}

void MacosPlatform::release(ElementRef ref) {
  CFRelease(static_cast<CFTypeRef>(ref));
}

AttributeRead MacosPlatform::copyAttribute(const Element& element,
                                           std::string_view attribute) {
  if (element.empty()) return AttributeRead{kAxIllegalArgument, std::nullopt};
  const AXUIElementRef ax = axElement(element.ref());
  const std::optional<int32_t> pid = processOf(ax);
  if (attribute == kFocusedUIElement && frontmostApp_ &&
      frontmostApp_->get() == ax && pid) {
    return focusOf(ax, *pid);
  }
  return read(ax, pid, attribute);
}

bool MacosPlatform::isProcessTrusted() { return AXIsProcessTrusted() != 0; }

std::optional<int32_t> MacosPlatform::frontmostProcessId() {
  // objc_getClass answers nil unless AppKit is loaded: the platform library
  // links it, and the nil checks keep a build without it from crashing.
  const id workspaceClass = classNamed("NSWorkspace");
  if (workspaceClass == nullptr) return std::nullopt;
  AutoreleasePool pool;
  const id workspace = send<id>(workspaceClass, "sharedWorkspace");
  if (workspace == nullptr) return std::nullopt;
  const id application = send<id>(workspace, "frontmostApplication");
  if (application == nullptr) return std::nullopt;
  // NSRunningApplication reports -1 for an application without a process.
  const pid_t pid = send<pid_t>(application, "processIdentifier");
  if (pid <= 0) return std::nullopt;
  frontmostPid_ = static_cast<int32_t>(pid);
  return frontmostPid_;
}

Element MacosPlatform::applicationElement(int32_t pid) {
  // Create rule: the new reference is ours, and the handle takes it over.
  const AXUIElementRef application =
      AXUIElementCreateApplication(static_cast<pid_t>(pid));
  // Kept to know the frontmost application's focus read, the one read that
  // may wake it.
  if (application != nullptr && frontmostPid_ == pid) {
    frontmostApp_.reset();
    frontmostApp_.emplace(CFRetain(application));
  }
  return Element::adopt(
      const_cast<void*>(static_cast<const void*>(application)));
}

void MacosPlatform::logLine(std::string_view line) {
  // CFStringCreateWithBytes refuses ill-formed UTF-8 outright, and a
  // diagnostic must not vanish for one bad byte.
  const std::string text = sanitizeUtf8(line);
  const CfOwned format = cfStringFromUtf8("%@");
  const CfOwned message = cfStringFromUtf8(text);
  if (!format || !message) return;
  AutoreleasePool pool;
  // The message is an argument, never the format: a "%" in an attribute
  // value must not be read as a conversion.
  NSLog(static_cast<CFStringRef>(format.get()), message.get());
}

}  // namespace

Clock systemClock() {
  return Clock{[] { return std::chrono::steady_clock::now(); },
               [](std::chrono::nanoseconds pause) {
                 std::this_thread::sleep_for(pause);
               }};
}

std::unique_ptr<Platform> makePlatform(Clock clock) {
  return std::make_unique<MacosPlatform>(std::move(clock));
}

}  // namespace kestreye::macos
