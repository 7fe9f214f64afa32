// What every fuzz target checks besides the absence of crashes: a broken rule stops the run with
// a message, as a crash would, so that libFuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace velmora::computer_use::fuzz {

inline void Require(bool holds, const char* rule) {
  if (holds) return;
  std::fprintf(stderr, "rule broken: %s\n", rule);
  std::abort();
}

}  // namespace velmora::computer_use::fuzz
