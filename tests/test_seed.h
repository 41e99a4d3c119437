// The seed of a test that draws random cases: fresh on every run, printed so
// that a failure can be replayed with TESSOLO_TEST_SEED=N.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <random>

inline unsigned TestSeed(const char* what) {
  const char* given = std::getenv("TESSOLO_TEST_SEED");
  const unsigned seed = given != nullptr ? static_cast<unsigned>(std::strtoul(given, nullptr, 10)) : std::random_device{}();
  std::printf("%s seed %u (TESSOLO_TEST_SEED=%u replays it)\n", what, seed, seed);
  return seed;
}
