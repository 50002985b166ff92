// The folder a power loss could leave, built from the changes a
// SyncRecorder recorded up to a chosen point: every file holds what its last
// sync put on disk followed by some prefix of what was written to it after
// (in a file whose name ends with `hole_suffix`, possibly with a page of
// that unsynced prefix never written, zeros, while a later one was), and
// every folder holds the entries its last sync made durable plus some prefix
// of the entry changes after it. Test-only.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "tervik/version/testing/sync_recorder.h"

namespace tervik::testing {

inline constexpr uint64_t kPowerLossPageSize = 4096;

// Writes into `image` (an empty or missing folder) the state the recorded
// folder `root` could have on disk after a power loss just before
// events[cut]. Returns false when it could not write the image.
bool build_power_loss_image(const std::vector<FsEvent>& events, size_t cut, const std::string& root,
                            const std::string& image, std::mt19937_64& rng,
                            const std::string& hole_suffix = ".jnl");

}  // namespace tervik::testing
