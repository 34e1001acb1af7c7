#include "platform/record/recorder.h"

#include <utility>
#include <vector>

#include "text/text.h"

namespace kestreye::record {

Recorder::~Recorder() { reset(); }

// The index of an element, recorded now if it is new. Every empty handle is
// the same element: one whose every read fails.
size_t Recorder::indexOf(const Element& element) {
  auto& elements = contents_.elements;
  const auto [entry, inserted] =
      indexByRef_.try_emplace(element.ref(), elements.size());
  if (inserted) {
    // Appended, not "e" + std::string: GCC 12 at -O3 warns falsely
    // (-Wrestrict) on a literal added to a temporary string.
    std::string id = "e";
    id += std::to_string(elements.size() + 1);
    elements.push_back(memory::FixtureElement{std::move(id), {}});
    handles_.push_back(element);
  }
  return entry->second;
}

void Recorder::reset() {
  // Moved out first: releasing an element calls back into the platform.
  std::vector<Element> handles = std::move(handles_);
  handles_.clear();
  indexByRef_.clear();
  contents_ = memory::FixtureContents{};
  handles.clear();
}

void Recorder::retain(ElementRef ref) { inner_.retain(ref); }

void Recorder::release(ElementRef ref) { inner_.release(ref); }

AttributeRead Recorder::copyAttribute(const Element& element,
                                      std::string_view attribute) {
  AttributeRead read = inner_.copyAttribute(element, attribute);
  const size_t index = indexOf(element);
  const std::string name = sanitizeUtf8(attribute);
  // A tree that changes under the scan can answer twice differently; the
  // fixture keeps the first answer, which every later read then repeats.
  for (const auto& known : contents_.elements[index].attributes) {
    if (known.first == name) return read;
  }
  // Naming the elements the value holds may record further elements.
  std::string answer = memory::fixtureAnswer(read, [this](const Element& held) {
    return contents_.elements[indexOf(held)].id;
  });
  contents_.elements[index].attributes.emplace_back(name, std::move(answer));
  return read;
}

bool Recorder::isProcessTrusted() {
  const bool trusted = inner_.isProcessTrusted();
  if (!contents_.trusted.has_value()) contents_.trusted = trusted;
  return trusted;
}

std::optional<int32_t> Recorder::frontmostProcessId() {
  std::optional<int32_t> pid = inner_.frontmostProcessId();
  if (!contents_.frontmost.has_value()) contents_.frontmost = pid;
  return pid;
}

Element Recorder::applicationElement(int32_t pid) {
  Element element = inner_.applicationElement(pid);
  const size_t index = indexOf(element);
  contents_.applications.try_emplace(pid, contents_.elements[index].id);
  return element;
}

void Recorder::logLine(std::string_view line) { inner_.logLine(line); }

void Recorder::beginScan(ScanDeadline readsEnd) { inner_.beginScan(readsEnd); }

void Recorder::endScan() { inner_.endScan(); }

std::string Recorder::fixtureJson() const {
  return memory::fixtureText(contents_);
}

bool Recorder::writeFixture(const std::string& path, std::string* error) const {
  return memory::writeFixtureFile(path, fixtureJson(), error);
}

}  // namespace kestreye::record
