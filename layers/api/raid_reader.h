// The array a striped, mirrored or parity set makes of its members, read
// like any other source: linear concatenation, RAID 0 (with zones when the
// members differ in size), RAID 1, RAID 4, RAID 5 and RAID 6 in every
// parity layout md knows, RAID 10 near, far and offset. A member that is
// missing is rebuilt on the fly from the others where the level allows it
// (one member of RAID 1/4/5, two of RAID 6, all copies but one of RAID 10).
// The layouts follow the Linux md driver's numbering; the layers that read
// md superblocks, logical volumes with raid segments and sets without
// metadata all describe their array with one RaidGeometry.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "disk/reader.h"

namespace brantlow {

// md level numbers (linear is -1).
constexpr int kRaidLinear = -1;

// Parity layouts of RAID 4/5/6 (md's algorithm numbers).
enum RaidParityLayout : int {
    kLeftAsymmetric = 0,
    kRightAsymmetric = 1,
    kLeftSymmetric = 2,
    kRightSymmetric = 3,
    kParityFirst = 4,  // parity on the first member
    kParityLast = 5,   // parity on the last member (RAID 4)
    kLeftAsymmetric6 = 16,  // RAID 6 laid out as RAID 5 over all but the last member, Q on the last
    kRightAsymmetric6 = 17,
    kLeftSymmetric6 = 18,
    kRightSymmetric6 = 19,
    kParityFirst6 = 20,
};

// RAID 0 over members of different sizes (md's zone layouts): which member
// of a later zone a chunk goes to counts from the array's start (original)
// or from the zone's start (alternate).
constexpr int kRaid0OriginalLayout = 1;
constexpr int kRaid0AlternateLayout = 2;

// Limits a geometry must keep (hostile metadata names anything).
constexpr size_t kMaxRaidMembers = 64;
constexpr uint64_t kMinRaidChunk = 512;
constexpr uint64_t kMaxRaidChunk = 64ull << 20;

struct RaidMember {
    std::shared_ptr<readWriteInterface> reader;  // null: the member is missing
    uint64_t dataStart = 0;                      // first byte of the array's data on it
    uint64_t dataBytes = 0;                      // bytes of data on it
};

struct RaidGeometry {
    int level = 0;             // -1, 0, 1, 4, 5, 6, 10
    int layout = 0;            // 4/5/6: RaidParityLayout; 10: md's copies word; 0: zone layout
    uint64_t chunkBytes = 0;   // striped levels; a multiple of 512
    std::vector<RaidMember> members;  // in role order
};

// Why the geometry cannot be read as an array ("" when it can): a level or
// layout this reader does not know, a chunk size out of range, too many
// members missing.
std::string raidProblem(const RaidGeometry& g);
// The array's size in bytes (0 when it cannot be read).
uint64_t raidArrayBytes(const RaidGeometry& g);
// "RAID5 of 3, 64 KiB, left-symmetric", "RAID1 of 2", "linear of 2"; with
// the missing members named ("role 1 missing, rebuilt from parity").
std::string raidDescription(const RaidGeometry& g);
// A parity layout's name ("left-symmetric"), and back (-1: unknown).
std::string raidLayoutName(int level, int layout);
int raidLayoutByName(const std::string& name);
// md's RAID 10 copies word: near copies, far copies, offset layout.
struct Raid10Copies {
    int nearCopies = 1, farCopies = 1;
    bool offset = false;
};
Raid10Copies raid10Copies(int layout);

// The array as a reader; nullptr when raidProblem says why not.
std::shared_ptr<readWriteInterface> makeRaidReader(const RaidGeometry& g);

// For tests and the search of sets without metadata: where array byte
// `offset` lies (the role and the byte on that member, from its data
// start) when every member is present. False beyond the array.
bool raidLocate(const RaidGeometry& g, uint64_t offset, int& role, uint64_t& memberOffset);

}  // namespace brantlow
