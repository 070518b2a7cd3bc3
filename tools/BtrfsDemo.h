// `snapagent demo --btrfs`: the demo on a btrfs file system of its own, so
// that a newcomer sees btrfs snapshots without one. As root, where the
// kernel allows loop mounts, it makes a sparse image in a temporary folder,
// formats it (mkfs.btrfs) and loop-mounts it, runs the demo in a child
// process with its folder there (the volumes become subvolumes, their
// snapshots read-only btrfs snapshots), and unmounts and removes the image
// however the child ends: done, failed, crashed or stopped by Ctrl-C or
// SIGTERM, which this process passes on to the child rather than obey.
// Without root, mkfs.btrfs or loop mounts it refuses before it makes
// anything, naming what is missing.
#pragma once

#include "tools/CommandLine.h"

#include <cstdio>

namespace snapagent {

// Runs demo(options) on the image; returns its exit status, 128 + the
// signal when a signal ended it, 1 when the image cannot be had.
int RunDemoOnBtrfsImage(const DemoOptions& options, FILE* out,
                        int (*demo)(const DemoOptions&, FILE*));

}  // namespace snapagent
