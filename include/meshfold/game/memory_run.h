// A whole conversion on files held in memory: what the tool would print and
// what it would write, without touching the disk. It goes through the same
// conversion kernel (conversion.h) as the run on the files, reading the bytes
// as the tool reads the files. Recovery re-runs a conversion through it to
// recognise a half-finished commit, the fuzz target drives the core through
// it, and the tests use it to predict the binary's exact output.
#pragma once

#include "meshfold/game/convert.h"
#include "meshfold/common/messages.h"
#include "meshfold/common/run_options.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace meshfold {

struct MemoryRun {
    // Everything printed after the banner: the progress lines, then either
    // the failure message or the ranges and the completion line.
    std::string output;
    Failure failure;                 // Stop::None when the mesh converts
    std::vector<std::uint8_t> anim;  // the new animation file; empty after a stop
    std::vector<std::uint8_t> data;  // the new data file with the MilkShape fix; else empty
    CoordRanges ranges;
};

// Runs the steps of a conversion on the bytes of both files, reading each no
// further than the tool reads the real file. The stops that only the disk can
// cause (a missing file, a failed write) are not modelled. `options` needs
// both modes and both file names.
MemoryRun runInMemory(const RunOptions& options, std::span<const std::uint8_t> animFile,
                      std::span<const std::uint8_t> dataFile);

} // namespace meshfold
