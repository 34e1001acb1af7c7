// The walk of kestreye_atspi_bus_walk over libatspi, for comparison: the
// same elements (children, role, name and states of each), one round trip
// per question, with libatspi's cache off or on (ATSPI_CACHE_ALL, as the
// platform runs it). Start-up (atspi_init) is timed once, apart.
//
//   scripts/session sh -c 'gtk3-widget-factory & scripts/wait-accessible $!;
//     build/default/bench/kestreye_atspi_lib_walk gtk3-widget-factory 20'
#include <atspi/atspi.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "walk_args.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::duration;

AtspiAccessible* findApp(AtspiAccessible* desktop, const std::string& name) {
  const int count = atspi_accessible_get_child_count(desktop, nullptr);
  for (int i = 0; i < count; ++i) {
    AtspiAccessible* app =
        atspi_accessible_get_child_at_index(desktop, i, nullptr);
    if (app == nullptr) continue;
    gchar* appName = atspi_accessible_get_name(app, nullptr);
    const bool found = appName != nullptr && name == appName;
    g_free(appName);
    if (found) return app;
    g_object_unref(app);
  }
  return nullptr;
}

size_t walk(AtspiAccessible* app) {
  AtspiAccessible* window =
      atspi_accessible_get_child_at_index(app, 0, nullptr);
  if (window == nullptr) return 0;
  std::vector<AtspiAccessible*> pending{window};
  size_t elements = 0;
  while (!pending.empty() && elements < 50000) {
    AtspiAccessible* node = pending.back();
    pending.pop_back();
    ++elements;
    atspi_accessible_get_role(node, nullptr);
    g_free(atspi_accessible_get_name(node, nullptr));
    g_object_unref(atspi_accessible_get_state_set(node));
    const int count = atspi_accessible_get_child_count(node, nullptr);
    for (int i = 0; i < count; ++i) {
      AtspiAccessible* child =
          atspi_accessible_get_child_at_index(node, i, nullptr);
      if (child != nullptr) pending.push_back(child);
    }
    g_object_unref(node);
  }
  for (AtspiAccessible* node : pending) g_object_unref(node);
  return elements;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<kestreye::bench::WalkArgs> args =
      kestreye::bench::parseWalkArgs(argc, argv);
  if (!args) return 2;
  const std::string& name = args->name;
  const int runs = args->runs;
  const auto start = Clock::now();
  if (atspi_init() != 0) return 1;
  AtspiAccessible* desktop = atspi_get_desktop(0);
  const double init =
      duration<double, std::milli>(Clock::now() - start).count();
  AtspiAccessible* app = findApp(desktop, name);
  if (app == nullptr) {
    std::fprintf(stderr, "no application named %s on the desktop\n",
                 name.c_str());
    return 1;
  }
  size_t elements = 0;
  for (const AtspiCache mask : {ATSPI_CACHE_NONE, ATSPI_CACHE_ALL}) {
    atspi_accessible_set_cache_mask(app, mask);
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
      // A scan starts on an empty cache.
      atspi_accessible_clear_cache(app);
      const auto begin = Clock::now();
      elements = walk(app);
      times.push_back(
          duration<double, std::milli>(Clock::now() - begin).count());
    }
    std::printf("%s: %zu elements, cache %s: median %.2f ms over %d runs\n",
                name.c_str(), elements, mask == ATSPI_CACHE_NONE ? "off" : "on",
                kestreye::bench::median(times), runs);
  }
  std::printf("atspi_init and the desktop: %.2f ms\n", init);
  g_object_unref(app);
  return 0;
}
