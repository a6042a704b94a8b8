// The command line every native benchmark takes: one number of its own and --json.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

struct BenchOptions {
  double number;
  bool json = false;
};

// Parses "[<option> N] [--json]", N at least `minimum`; prints the usage and returns nullopt on
// anything else.
inline std::optional<BenchOptions> parse_bench_options(int argc, char** argv, const char* option,
                                                       double fallback, double minimum) {
  BenchOptions options{fallback};
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], option) == 0 && i + 1 < argc) {
      options.number = std::max(minimum, std::atof(argv[++i]));
    } else if (std::strcmp(argv[i], "--json") == 0) {
      options.json = true;
    } else {
      std::fprintf(stderr, "usage: %s [%s N] [--json]\n", argv[0], option);
      return std::nullopt;
    }
  }
  return options;
}
