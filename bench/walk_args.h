// What the two live walk benchmarks share: their command line and the
// median they print.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace kestreye::bench {

/// The application to walk, by its name on the bus, and how many times.
struct WalkArgs {
  std::string name;
  int runs = 10;
};

/// The arguments `APPLICATION_NAME [RUNS]`, or none after printing the usage.
inline std::optional<WalkArgs> parseWalkArgs(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s APPLICATION_NAME [RUNS]\n", argv[0]);
    return std::nullopt;
  }
  return WalkArgs{argv[1], argc > 2 ? std::max(1, std::atoi(argv[2])) : 10};
}

/// The middle value (the upper one of an even count); 0 for none.
inline double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace kestreye::bench
