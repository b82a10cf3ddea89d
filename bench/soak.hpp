// Soak mode of tavrello-bench-load (see soak.cpp).
#pragma once

#include "bench_common.hpp"

namespace bench {

/// Runs the soak for options.minutes and returns the exit code: 0 when every handler ran
/// exactly once, no sandbox request failed and memory and descriptors stayed flat.
int runSoak(const Options& options);

}  // namespace bench
