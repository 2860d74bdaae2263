#include "layers/md/md_row.h"

#include <algorithm>

#include "base/bytes.h"
#include "layers/api/raid_reader.h"
#include "layers/md/md_superblock.h"

namespace brantlow {

namespace {

constexpr const char* kName = "md RAID";

// A superblock at the head's first byte (version 1.1 there; 1.2 and 1.0
// further in, which the sector scan meets at their own sector).
Decoded<md::Superblock> headSuperblock(const uint8_t* head, size_t len) {
    if (len < 1024 || le32(head, len, 0) != md::kMagic) return Decoded<md::Superblock>::refused("no md superblock");
    uint64_t at = 0;
    if (mulOverflows(le64(head, len, 144), 512, &at)) return Decoded<md::Superblock>::refused("super offset");
    return md::decodeV1(head, len, at, UINT64_MAX);
}

uint64_t memberSectors(const md::Superblock& s) {
    uint64_t end = 0;
    if (addOverflows(s.dataOffset, s.dataBytes, &end)) end = UINT64_MAX;
    return std::max(end, s.superOffset + 4096) / 512;
}

// The magic alone, before anything is decoded (the sector scan asks at
// every sector).
bool magicAt(const uint8_t* head, size_t len) { return len >= 1024 && le32(head, len, 0) == md::kMagic; }

bool probe(const uint8_t* head, size_t len, ProbeResult& out) {
    if (!magicAt(head, len)) return false;
    Decoded<md::Superblock> s = headSuperblock(head, len);
    if (!s) return false;
    out.fileSystem = kName;
    out.sizeSectors = memberSectors(*s);
    return true;
}

// The sector scan meets a 1.2 or 1.0 superblock inside its member: the
// member starts where the superblock says it lies.
bool copyAt(const uint8_t* head, size_t len, CopyResult& out) {
    if (!magicAt(head, len)) return false;
    Decoded<md::Superblock> s = headSuperblock(head, len);
    if (!s || s->superOffset == 0) return false;
    out.sectorsIn = s->superOffset / 512;
    out.certain = true;
    return true;
}

// A 0.90 superblock at the end of a disk whose last partition ends there
// too belongs to the partition (md itself cannot tell them apart; the
// partition table can).
bool insidePartition(readWriteInterface& reader, uint64_t start, uint64_t superAt) {
    uint8_t mbr[512];
    if (readZeroFill(reader, start, mbr, sizeof mbr) != sizeof mbr || mbr[510] != 0x55 || mbr[511] != 0xAA)
        return false;
    for (int i = 0; i < 4; ++i) {
        const size_t e = 446 + 16 * static_cast<size_t>(i);
        const uint64_t first = le32(mbr, sizeof mbr, e + 8), count = le32(mbr, sizeof mbr, e + 12);
        if (le8(mbr, sizeof mbr, e + 4) == 0 || first == 0) continue;
        if (superAt >= first * 512 && superAt < (first + count) * 512) return true;
    }
    return false;
}

bool probeVolume(readWriteInterface& reader, uint64_t startByte, uint64_t sizeBytes, ProbeResult& out) {
    md::Superblock s;
    if (!md::findSuperblock(reader, startByte, sizeBytes, s)) return false;
    if (s.major == 0 && insidePartition(reader, startByte, s.superOffset)) return false;
    out.fileSystem = kName;
    out.sizeSectors = sizeBytes / 512;
    return true;
}

std::string setKey(const VolumeView& member) {
    md::Superblock s;
    if (!member.reader() || !md::findSuperblock(*member.reader(), member.startByte(), member.sizeBytes(), s))
        return {};
    return "md " + s.versionText().substr(0, 1) + " " + s.uuidText();
}

struct Member {
    VolumeView view;
    md::Superblock sb;
};

std::string setName(const md::Superblock& s) { return s.name.empty() ? s.uuidText() : s.name; }

LayerOpen open(const std::vector<VolumeView>& sources, const LayerAnswers& answers) {
    (void)answers;
    LayerOpen r;
    std::vector<Member> found;
    std::string why;
    for (const VolumeView& v : sources) {
        md::Superblock s;
        if (v.reader() && md::findSuperblock(*v.reader(), v.startByte(), v.sizeBytes(), s, &why))
            found.push_back({v, s});
    }
    if (found.empty()) {
        r.error = why.empty() ? "no md superblock found" : why;
        return r;
    }
    // The set of the first member; the freshest superblock speaks for it.
    const std::string key = found[0].sb.uuidText();
    found.erase(std::remove_if(found.begin(), found.end(), [&](const Member& m) { return m.sb.uuidText() != key; }),
                found.end());
    const Member* ref = &found[0];
    for (const Member& m : found)
        if (m.sb.events > ref->sb.events) ref = &m;
    const md::Superblock& sb = ref->sb;
    const std::string name = setName(sb);
    if (sb.raidDisks == 0 || sb.raidDisks > kMaxRaidMembers) {
        r.error = "md set " + name + " names " + std::to_string(sb.raidDisks) + " members";
        return r;
    }
    if (sb.featureMap & md::kFeatureReshapeActive) {
        r.error = "md set " + name + " was being reshaped when it stopped; it is not read";
        return r;
    }
    // One member per role: the freshest.
    std::vector<const Member*> byRole(sb.raidDisks, nullptr);
    for (const Member& m : found) {
        if (m.sb.role < 0 || static_cast<uint32_t>(m.sb.role) >= sb.raidDisks) continue;  // a spare
        const Member*& slot = byRole[static_cast<size_t>(m.sb.role)];
        if (!slot || m.sb.events > slot->sb.events) slot = &m;
    }
    RaidGeometry g;
    g.level = sb.level;
    g.layout = sb.layout;
    g.chunkBytes = sb.chunkBytes;
    std::vector<size_t> behind;  // roles whose member is stale or only partly rebuilt
    for (size_t role = 0; role < byRole.size(); ++role) {
        RaidMember rm;
        if (const Member* m = byRole[role]) {
            const uint64_t room = m->view.sizeBytes() > m->sb.dataOffset ? m->view.sizeBytes() - m->sb.dataOffset : 0;
            rm.reader = m->view.readerPtr();
            rm.dataStart = m->view.startByte() + m->sb.dataOffset;
            rm.dataBytes = std::min(m->sb.dataBytes, room);
            if (m->sb.events < sb.events || (m->sb.featureMap & md::kFeatureRecoveryOffset)) behind.push_back(role);
        }
        g.members.push_back(rm);
    }
    // A member that fell behind is read only when the set cannot do
    // without it.
    RaidGeometry without = g;
    for (size_t role : behind) without.members[role].reader.reset();
    std::string note;
    if (!behind.empty() && raidProblem(without).empty()) {
        g = without;
    } else if (!behind.empty()) {
        note = "; a member that fell behind is read as it is";
    }
    const std::string problem = raidProblem(g);
    if (!problem.empty()) {
        size_t missing = 0;
        for (const RaidMember& m : g.members) missing += m.reader ? 0 : 1;
        r.error = "md set " + name + ": " + problem;
        if (missing) {
            r.needsAnswer = true;
            r.question.kind = LayerQuestion::Kind::Members;
            r.question.prompt = "md set " + name + " (" + raidDescription(g) + ") needs more of its members";
            r.error += " (give the other members as further sources)";
        }
        return r;
    }
    LayeredVolume lv;
    lv.reader = makeRaidReader(g);
    lv.description = raidDescription(g) + " (md " + name + ")" + note;
    if (lv.reader) r.volumes.push_back(std::move(lv));
    return r;
}

}  // namespace

LayerRow mdRow() {
    LayerRow row;
    row.probe = {"md", probe, copyAt};
    row.probe.probeVolume = probeVolume;
    row.probe.kinds = {{kName, "found md RAID member...", "", false, false, false, 0}};
    row.probe.scanMarks = {ScanMark::of(0, "\xFC\x4E\x2B\xA9", 4)};
    row.open = open;
    row.setKey = setKey;
    return row;
}

}  // namespace brantlow
