// The benchmark program's modes beside the benchmarks themselves.
#pragma once

#include <cstddef>

namespace teskel::bench {

// Sends and then receives `frames` 1514-byte frames, each clear of the status tick, with
// callgrind's collection on around each frame only, and dumps callgrind's counts after each
// direction ("send", then "receive"). Meant to run under valgrind --tool=callgrind
// --collect-atstart=no; BM_DriverInstructions starts it so. Returns the exit status.
int collectFramesUnderCallgrind(std::size_t frames);

// Prints every port access of one send and one receive of a `size`-byte frame, each clear of the
// status tick, by register, with the single accesses and the data words counted. Returns the exit
// status.
int traceFrames(std::size_t size);

}  // namespace teskel::bench
