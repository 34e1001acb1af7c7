// Walks an application's first window over the bus client, one batch per
// level of the tree (children, role, name and states of every element of the
// level at once), and prints how long it took: with a new client each run
// (connecting to the bus and the application's socket included) and again
// on a client kept between runs. Run it inside a desktop session:
//
//   scripts/session sh -c 'gtk3-widget-factory & scripts/wait-accessible $!;
//     build/default/bench/kestreye_atspi_bus_walk gtk3-widget-factory 20'
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "platform/atspi/bus/client.h"
#include "walk_args.h"

namespace {

using namespace kestreye::atspi::bus;
using std::chrono::duration;

struct Walk {
  bool ok = false;
  size_t elements = 0;
  size_t batches = 0;
};

std::optional<ObjectRef> findApp(Client& client, const std::string& name) {
  Batch desktop(client, Clock::now() + std::chrono::seconds(5));
  const auto apps =
      desktop.children(ObjectRef{"org.a11y.atspi.Registry", ROOT_PATH});
  desktop.run();
  if (!desktop[apps].ok()) return std::nullopt;
  Batch names(client, Clock::now() + std::chrono::seconds(5));
  std::vector<Ticket<std::string>> tickets;
  for (const ObjectRef& app : desktop[apps].value->refs) {
    tickets.push_back(names.name(app));
  }
  names.run();
  for (size_t i = 0; i < tickets.size(); ++i) {
    if (names[tickets[i]].value == name) return desktop[apps].value->refs[i];
  }
  return std::nullopt;
}

Walk walk(Client& client, const ObjectRef& app) {
  Walk result;
  const Deadline deadline = Clock::now() + std::chrono::seconds(5);
  Batch top(client, deadline);
  const auto windows = top.children(app);
  top.run();
  ++result.batches;
  if (!top[windows].ok() || top[windows].value->refs.empty()) return result;
  std::vector<ObjectRef> level{top[windows].value->refs.front()};
  while (!level.empty() && result.elements < 50000) {
    Batch batch(client, deadline);
    std::vector<Ticket<Children>> children;
    for (const ObjectRef& element : level) {
      children.push_back(batch.children(element));
      batch.role(element);
      batch.name(element);
      batch.states(element);
    }
    batch.run();
    ++result.batches;
    result.elements += level.size();
    std::vector<ObjectRef> next;
    for (const auto& ticket : children) {
      if (!batch[ticket].ok()) continue;
      for (const ObjectRef& child : batch[ticket].value->refs) {
        next.push_back(child);
      }
    }
    level = std::move(next);
  }
  result.ok = true;
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<kestreye::bench::WalkArgs> args =
      kestreye::bench::parseWalkArgs(argc, argv);
  if (!args) return 2;
  const std::string& name = args->name;
  const int runs = args->runs;
  std::vector<double> cold;
  std::vector<double> warm;
  Walk last;
  Client kept(ClientOptions::fromEnvironment());
  std::optional<ObjectRef> app = findApp(kept, name);
  if (!app.has_value()) {
    std::fprintf(stderr, "no application named %s on the desktop\n",
                 name.c_str());
    return 1;
  }
  uint64_t callsPerWalk = 0;
  for (int i = 0; i < runs; ++i) {
    const auto start = Clock::now();
    Client client(ClientOptions::fromEnvironment());
    last = walk(client, *app);
    cold.push_back(duration<double, std::milli>(Clock::now() - start).count());
    callsPerWalk = client.callsSent();
    kept.beginScan();
    const auto again = Clock::now();
    walk(kept, *app);
    warm.push_back(duration<double, std::milli>(Clock::now() - again).count());
  }
  std::printf(
      "%s: %zu elements in %zu batches, %llu calls with a new client\n"
      "new client each run: median %.2f ms over %d runs\n"
      "kept client: median %.2f ms\n",
      name.c_str(), last.elements, last.batches,
      static_cast<unsigned long long>(callsPerWalk),
      kestreye::bench::median(cold), runs, kestreye::bench::median(warm));
  return last.ok ? 0 : 1;
}
