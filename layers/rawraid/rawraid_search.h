// Ranks the ways member sources without metadata fit together.
//
// One pass over the members' first 64 MiB, side by side, finds:
// - where the data may start: offsets where a member holds what the probe
//   table recognises (a file system, a layer) or a partition table;
// - the level: RAID 5 when the members' bytes XOR to zero row after row,
//   RAID 1 when two members are equal, else RAID 0;
// - for RAID 5, how well each parity rotation fits: a block that is all
//   zeros beside data is seldom parity (only where the data blocks are
//   equal, as in a fill pattern).
// Each candidate (start, chunk size, order, layout; the member holding
// the start fixed) is then put together and scored by the placement check
// of what it holds at its start (the structures that name their own place
// read back in place) and, as tie breaks, by the parity fit and by how
// alike the bytes on both sides of its chunk boundaries are.
#pragma once

#include "layers/api/set_search.h"
#include "disk/volume_view.h"

namespace brantlow::rawraid {

// Members searched at most: every member order is tried (5 members: 24
// orders per chunk size and layout, the member holding the start fixed).
constexpr size_t kMaxSearchMembers = 16;
constexpr size_t kMaxSearchOrderMembers = 5;

SetSearchResult searchSet(const std::vector<VolumeView>& members, const SetSearchContext& context);

}  // namespace brantlow::rawraid
