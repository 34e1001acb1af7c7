// The AT-SPI bus client against the fake application on a private bus: a
// client's start (bus, registration, the application's socket) with one
// batch, and warm batches against the same calls one round trip at a time.
// The first argument of each run is the route: 0 through the bus daemon,
// 1 through the application's own socket; the second, where there is one,
// the number of calls. Rates are per wall-clock second: the time is spent
// waiting for the daemon and the fake.
//
//   build/default/bench/kestreye_atspi_bus_bench
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "platform/atspi/bus/client.h"
#include "platform/atspi/bus/test_bus.h"

namespace {

using kestreye::atspi::bus::Batch;
using kestreye::atspi::bus::Client;
using kestreye::atspi::bus::Clock;
using kestreye::atspi::bus::ObjectRef;
using kestreye::atspi::bus::testbed::FakeApp;
using kestreye::atspi::bus::testbed::optionsFor;
using kestreye::atspi::bus::testbed::PrivateBus;

// One private bus with two fakes on it, for every run.
struct Desktop {
  PrivateBus bus;
  FakeApp viaBus{bus, "none"};
  FakeApp ownSocket{bus, "serve"};
  const FakeApp& app(int64_t route) const {
    return route == 0 ? viaBus : ownSocket;
  }
};
Desktop* desktop = nullptr;

constexpr auto kDeadline = std::chrono::seconds(5);

// What a scan asks of a form field and its window: 20 calls.
void addFormReads(Batch& batch, const FakeApp& app) {
  const ObjectRef window = app.ref("/o/window");
  const ObjectRef field = app.ref("/o/field");
  batch.role(field);
  batch.name(field);
  batch.description(field);
  batch.states(field);
  batch.attributes(field);
  batch.relations(field);
  batch.parent(field);
  batch.text(field, 0, -1);
  batch.caretOffset(field);
  batch.selectionCount(field);
  batch.selection(field, 0);
  batch.characterCount(field);
  batch.extents(field);
  batch.role(window);
  batch.name(window);
  batch.states(window);
  batch.children(window);
  batch.childCount(window);
  batch.toolkitName(app.name());
  batch.currentValue(field);
}
constexpr int64_t kFormReads = 20;

// `count` calls a walk might send for one level: role, name and states of
// the window's children in turn.
void addLevel(Batch& batch, const FakeApp& app, int64_t count) {
  const char* children[] = {"/o/label", "/o/field", "/o/channel"};
  for (int64_t i = 0; i < count; ++i) {
    const ObjectRef child = app.ref(children[(i / 3) % 3]);
    if (i % 3 == 0) batch.role(child);
    if (i % 3 == 1) batch.name(child);
    if (i % 3 == 2) batch.states(child);
  }
}

void BM_ClientStartAndOneBatch(benchmark::State& state) {
  const FakeApp& app = desktop->app(state.range(0));
  for (auto _ : state) {
    Client client(optionsFor(desktop->bus));
    Batch batch(client, Clock::now() + kDeadline);
    addFormReads(batch, app);
    batch.run();
    if (batch.answered() != kFormReads) state.SkipWithError("calls unanswered");
  }
  state.SetItemsProcessed(state.iterations() * kFormReads);
}
BENCHMARK(BM_ClientStartAndOneBatch)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

void BM_WarmBatch(benchmark::State& state) {
  const FakeApp& app = desktop->app(state.range(0));
  Client client(optionsFor(desktop->bus));
  for (auto _ : state) {
    Batch batch(client, Clock::now() + kDeadline);
    addLevel(batch, app, state.range(1));
    batch.run();
  }
  state.SetItemsProcessed(state.iterations() * state.range(1));
}
BENCHMARK(BM_WarmBatch)
    ->ArgsProduct({{0, 1}, {20, 200}})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

// The same calls, each waited for before the next goes out, as libatspi
// makes them.
void BM_WarmOneAtATime(benchmark::State& state) {
  const FakeApp& app = desktop->app(state.range(0));
  Client client(optionsFor(desktop->bus));
  for (auto _ : state) {
    for (int64_t i = 0; i < state.range(1); ++i) {
      Batch batch(client, Clock::now() + kDeadline);
      addLevel(batch, app, 1);
      batch.run();
    }
  }
  state.SetItemsProcessed(state.iterations() * state.range(1));
}
BENCHMARK(BM_WarmOneAtATime)
    ->ArgsProduct({{0, 1}, {20}})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  auto owned = std::make_unique<Desktop>();
  if (owned->bus.address().empty() || owned->viaBus.name().empty() ||
      owned->ownSocket.name().empty()) {
    std::fprintf(stderr, "the private bus or the fake did not start\n");
    return 1;
  }
  desktop = owned.get();
  // Every call of a warm batch must be answered, or the figures mean nothing.
  {
    Client client(optionsFor(desktop->bus));
    for (int64_t route : {0, 1}) {
      Batch batch(client, Clock::now() + kDeadline);
      addFormReads(batch, desktop->app(route));
      batch.run();
      if (batch.answered() != kFormReads) {
        std::fprintf(stderr, "the fake answered %zu of %lld calls\n",
                     batch.answered(), static_cast<long long>(kFormReads));
        return 1;
      }
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
