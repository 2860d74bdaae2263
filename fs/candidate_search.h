// The search for earlier file systems on a volume: one streaming pass in
// which every file system's matcher sees every block, then the candidates
// they offer, checked and ranked best first.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "base/sinks.h"
#include "disk/volume_view.h"
#include "fs/api/candidates.h"

namespace brantlow {

// Reads the volume once (4 MiB blocks), asks every row's matcher for its
// candidates, reads the first sector of each candidate's sample files to see
// whether they open as their names promise, and ranks them by score. stop is
// polled between blocks (what was seen so far is judged); gate may be null.
std::vector<FileSystemCandidate> findFileSystemCandidates(const VolumeView& volume, ProgressSink* progress,
                                                          const std::atomic<bool>* stop, PauseGate* gate = nullptr);

// The candidate's figures in words: "41 of 44 MFT records whose runs land
// inside the volume, 12 of 13 folders link up, 3 of 4 files open as their
// names say".
std::string candidateFigures(const FileSystemCandidate& c);

// The score and the three shares it is made of, computed from the figures.
double candidateScore(const FileSystemCandidate& c);

}  // namespace brantlow
