// A full scan on generated windows of growing size, on the memory platform:
// time per scan, time per attribute read, and peak memory.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdio>
#include <string>

#include "ax/accessors.h"
#include "platform/memory/memory_platform.h"
#include "scan/scan.h"

namespace {

namespace memory = kestreye::memory;
using kestreye::Point;
using kestreye::Range;
using kestreye::Size;

// The tree every benchmark builds, installed by main.
memory::MemoryPlatform& tree() {
  static memory::MemoryPlatform platform;
  return platform;
}

// A window of `total` elements: rows of panes, each a group with a heading,
// a label, a text field and a button, like a long settings form. The focus
// sits in a field in the middle.
void buildWindow(int64_t total) {
  tree().reset();
  memory::Node* app = tree().addNode({{"AXRole", "AXApplication"}});
  memory::Node* window =
      tree().addNode({{"AXRole", "AXWindow"}, {"AXTitle", "Settings"}}, app);
  memory::Node* focused = nullptr;
  const int64_t panes = total / 5;
  for (int64_t i = 0; i < panes; ++i) {
    const double y = 20.0 * static_cast<double>(i);
    memory::Node* pane = tree().addNode(
        {{"AXRole", "AXGroup"}, {"AXTitle", "Pane " + std::to_string(i)}},
        window);
    tree().addNode(
        {{"AXRole", "AXHeading"}, {"AXTitle", "Section " + std::to_string(i)}},
        pane);
    tree().addNode({{"AXRole", "AXStaticText"},
                    {"AXValue", "Setting number " + std::to_string(i)}},
                   pane);
    memory::Node* field =
        tree().addNode({{"AXRole", "AXTextField"},
                        {"AXTitle", "Field " + std::to_string(i)},
                        {"AXValue", "value " + std::to_string(i)},
                        {"AXPosition", Point{100, y}},
                        {"AXSize", Size{200, 18}},
                        {"AXFocused", i == panes / 2},
                        {"AXSelectedTextRange", Range{3, 0}},
                        {"AXInsertionPointLineNumber", 0}},
                       pane);
    tree().addNode({{"AXRole", "AXButton"},
                    {"AXTitle", "Reset " + std::to_string(i)},
                    {"AXPosition", Point{320, y}},
                    {"AXSize", Size{60, 18}}},
                   pane);
    if (i == panes / 2) focused = field;
  }
  memory::setAttribute(app, "AXFocusedWindow", window);
  memory::setAttribute(app, "AXFocusedUIElement", focused);
  tree().setApplication(7, app);
  tree().setFrontmost(7);
}

void BM_Scan(benchmark::State& state) {
  buildWindow(state.range(0));
  const uint64_t readsBefore = tree().attributeReads();
  for (auto _ : state) benchmark::DoNotOptimize(kestreye::scanReply());
  const uint64_t reads = tree().attributeReads() - readsBefore;
  state.counters["reads/scan"] = benchmark::Counter(
      static_cast<double>(reads) / static_cast<double>(state.iterations()));
  state.counters["time/read"] = benchmark::Counter(
      static_cast<double>(reads),
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  state.counters["peakRSS_MB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}

BENCHMARK(BM_Scan)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(
    benchmark::kMicrosecond);

// One platform read alone, and the same read through the core's typed
// accessors: the difference is what the core adds per read.
void BM_PlatformRead(benchmark::State& state) {
  tree().reset();
  const kestreye::Element element = tree().elementOf(
      tree().addNode({{"AXTitle", "Sign in to your account"}}));
  for (auto _ : state)
    benchmark::DoNotOptimize(kestreye::copyAttribute(element, "AXTitle"));
}
BENCHMARK(BM_PlatformRead);

void BM_AxStringRead(benchmark::State& state) {
  tree().reset();
  const kestreye::Element element = tree().elementOf(
      tree().addNode({{"AXTitle", "Sign in to your account"}}));
  for (auto _ : state)
    benchmark::DoNotOptimize(kestreye::axString(element, "AXTitle"));
}
BENCHMARK(BM_AxStringRead);

void BM_AxPositionRead(benchmark::State& state) {
  tree().reset();
  const kestreye::Element element =
      tree().elementOf(tree().addNode({{"AXPosition", Point{120.5, 300.25}}}));
  for (auto _ : state) benchmark::DoNotOptimize(kestreye::axPosition(element));
}
BENCHMARK(BM_AxPositionRead);

}  // namespace

int main(int argc, char** argv) {
  kestreye::installPlatform(tree());
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
