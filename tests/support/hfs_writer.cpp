#include "tests/support/hfs_writer.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "base/texts.h"

namespace brantlow::test {

namespace {

void putBe16(std::vector<uint8_t>& b, size_t off, uint32_t v) {
    b[off] = static_cast<uint8_t>(v >> 8);
    b[off + 1] = static_cast<uint8_t>(v);
}
void putBe32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
    putBe16(b, off, v >> 16);
    putBe16(b, off + 2, v & 0xFFFF);
}
void putBe64(std::vector<uint8_t>& b, size_t off, uint64_t v) {
    putBe32(b, off, static_cast<uint32_t>(v >> 32));
    putBe32(b, off + 4, static_cast<uint32_t>(v));
}
void putLe32(std::vector<uint8_t>& b, size_t off, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[off + i] = static_cast<uint8_t>(v >> (8 * i));
}

struct Ext {
    uint32_t start = 0, count = 0;
};

// A fork: its extents (all of them; the first 8 go into the record).
struct Fork {
    uint64_t size = 0;
    std::vector<Ext> extents;
    uint32_t blocks() const {
        uint32_t n = 0;
        for (const Ext& e : extents) n += e.count;
        return n;
    }
};

void putFork(std::vector<uint8_t>& b, size_t off, const Fork& f, uint32_t blockSize) {
    putBe64(b, off, f.size);
    putBe32(b, off + 8, blockSize);
    putBe32(b, off + 12, f.blocks());
    for (size_t i = 0; i < 8 && i < f.extents.size(); ++i) {
        putBe32(b, off + 16 + 8 * i, f.extents[i].start);
        putBe32(b, off + 20 + 8 * i, f.extents[i].count);
    }
}

// One B-tree record: its key (keyLength field included) and its data.
struct Rec {
    std::vector<uint8_t> key, data;
    size_t size() const { return key.size() + data.size(); }
};

std::vector<uint8_t> catalogKey(uint32_t parent, const std::u16string& name) {
    std::vector<uint8_t> k(8 + 2 * name.size());
    putBe16(k, 0, static_cast<uint32_t>(6 + 2 * name.size()));
    putBe32(k, 2, parent);
    putBe16(k, 6, static_cast<uint32_t>(name.size()));
    for (size_t i = 0; i < name.size(); ++i) putBe16(k, 8 + 2 * i, name[i]);
    return k;
}

// Key order: catalog keys by parent, then name (ASCII case folded unless
// binary); extents keys by fork type, file, start; attribute keys by
// file, name. Bytes after the keyLength field compare well enough for the
// latter two.
bool catalogLess(const Rec& a, const Rec& b, bool binary) {
    auto parent = [](const Rec& r) { return (uint32_t(r.key[2]) << 24) | (r.key[3] << 16) | (r.key[4] << 8) | r.key[5]; };
    if (parent(a) != parent(b)) return parent(a) < parent(b);
    auto unit = [&](const Rec& r, size_t i) {
        uint32_t u = (r.key[8 + 2 * i] << 8) | r.key[9 + 2 * i];
        if (!binary && u >= 'A' && u <= 'Z') u += 32;
        if (!binary && u == 0) u = 0xFFFF;  // the case-folding table sorts NUL last
        return u;
    };
    const size_t na = (a.key.size() - 8) / 2, nb = (b.key.size() - 8) / 2;
    for (size_t i = 0; i < na && i < nb; ++i)
        if (unit(a, i) != unit(b, i)) return unit(a, i) < unit(b, i);
    return na < nb;
}

struct TreeInput {
    uint32_t nodeSize;
    uint16_t maxKeyLength;
    uint32_t attributes;  // kBTBigKeysMask 2 | kBTVariableIndexKeysMask 4
    uint8_t keyCompare;
    std::vector<Rec> records;          // sorted
    std::vector<Rec> freeSpaceStale;   // left in leaves' free space
    std::vector<Rec> freedNodeStale;   // a freed leaf node after the tree
    std::vector<Rec> firstNodeStale;   // a freed leaf node right after the header node
    uint32_t spare = 4;
};

struct TreeLayout {
    std::vector<std::vector<Rec>> leaves;
    // Index levels, bottom up: per node, the first keys of its children.
    std::vector<std::vector<std::vector<std::vector<uint8_t>>>> levels;
    uint32_t usedNodes = 0, totalNodes = 0, mapNodes = 0;
};

// Packs the leaves (at most 3/4 full, so that stale bytes find room) and
// the index levels; counts the nodes.
TreeLayout layoutTree(const TreeInput& t) {
    TreeLayout L;
    const size_t room = (t.nodeSize - 14) * 3 / 4;
    size_t used = 0;
    for (const Rec& r : t.records) {
        if (L.leaves.empty() || (used + r.size() + 2 > room && !L.leaves.back().empty())) {
            L.leaves.emplace_back();
            used = 0;
        }
        L.leaves.back().push_back(r);
        used += r.size() + 2;
    }
    if (L.leaves.empty()) L.leaves.emplace_back();
    std::vector<std::vector<uint8_t>> keys;
    for (auto& l : L.leaves) keys.push_back(l.empty() ? std::vector<uint8_t>(12, 0) : l[0].key);
    while (keys.size() > 1) {
        L.levels.emplace_back();
        auto& lv = L.levels.back();
        size_t u = 0;
        for (const auto& k : keys) {
            const size_t bytes = ((t.attributes & 4) ? k.size() : t.maxKeyLength + 2u) + 4 + 2;
            if (lv.empty() || (u + bytes > t.nodeSize - 16 && !lv.back().empty())) {
                lv.emplace_back();
                u = 0;
            }
            lv.back().push_back(k);
            u += bytes;
        }
        if (lv.size() >= keys.size()) throw std::runtime_error("hfs writer: index records do not fit the node size");
        keys.clear();
        for (auto& node : lv) keys.push_back(node[0]);
    }
    uint32_t used0 = 1 + (t.firstNodeStale.empty() ? 0 : 1) + static_cast<uint32_t>(L.leaves.size());
    for (auto& lv : L.levels) used0 += static_cast<uint32_t>(lv.size());
    const uint32_t extra = (t.freedNodeStale.empty() ? 0 : 1) + t.spare;
    uint32_t total = used0 + extra;
    const uint32_t headerBits = (t.nodeSize - 256) * 8, mapBits = (t.nodeSize - 18) * 8;
    L.mapNodes = total > headerBits ? (total - headerBits + mapBits - 1) / mapBits : 0;
    L.usedNodes = used0 + L.mapNodes;
    L.totalNodes = L.usedNodes + extra;
    return L;
}

// Writes one node: descriptor, records, offset table.
void writeNode(std::vector<uint8_t>& img, size_t at, uint32_t ns, uint32_t fLink, uint32_t bLink, int8_t kind,
               uint8_t height, const std::vector<Rec>& recs, const std::vector<Rec>* staleAfter = nullptr) {
    std::vector<uint8_t> n(ns, 0);
    putBe32(n, 0, fLink);
    putBe32(n, 4, bLink);
    n[8] = static_cast<uint8_t>(kind);
    n[9] = height;
    putBe16(n, 10, static_cast<uint32_t>(recs.size()));
    size_t off = 14;
    for (size_t i = 0; i < recs.size(); ++i) {
        putBe16(n, ns - 2 * (i + 1), static_cast<uint32_t>(off));
        std::memcpy(n.data() + off, recs[i].key.data(), recs[i].key.size());
        std::memcpy(n.data() + off + recs[i].key.size(), recs[i].data.data(), recs[i].data.size());
        off += recs[i].size();
    }
    putBe16(n, ns - 2 * (recs.size() + 1), static_cast<uint32_t>(off));
    if (staleAfter) {
        const size_t tableStart = ns - 2 * (recs.size() + 1);
        for (const Rec& r : *staleAfter) {
            if (off + r.size() > tableStart) throw std::runtime_error("hfs writer: no room for a stale record");
            std::memcpy(n.data() + off, r.key.data(), r.key.size());
            std::memcpy(n.data() + off + r.key.size(), r.data.data(), r.data.size());
            off += r.size();
        }
    }
    std::memcpy(img.data() + at, n.data(), ns);
}

// Writes the tree into its fork (node n at nodeAt(n)); returns the volume
// offsets of the live leaves in chain order.
template <class At>
std::vector<uint64_t> writeTree(std::vector<uint8_t>& img, const TreeInput& t, TreeLayout& L, At nodeAt) {
    const uint32_t ns = t.nodeSize;
    uint32_t next = 1;
    const uint32_t firstStale = t.firstNodeStale.empty() ? 0 : next++;
    std::vector<uint32_t> leafNo;
    for (size_t i = 0; i < L.leaves.size(); ++i) leafNo.push_back(next++);
    std::vector<std::vector<uint32_t>> levelNo;
    for (auto& lv : L.levels) {
        levelNo.emplace_back();
        for (size_t i = 0; i < lv.size(); ++i) levelNo.back().push_back(next++);
    }
    std::vector<uint32_t> mapNo;
    for (uint32_t i = 0; i < L.mapNodes; ++i) mapNo.push_back(next++);
    const uint32_t freedNo = t.freedNodeStale.empty() ? 0 : next++;

    // Stale records spread over the leaves' free space.
    std::vector<std::vector<Rec>> stale(L.leaves.size());
    size_t li = 0;
    for (const Rec& r : t.freeSpaceStale) {
        for (size_t tries = 0; tries <= L.leaves.size(); ++tries, li = (li + 1) % L.leaves.size()) {
            size_t used = 14 + 2 * (L.leaves[li].size() + 1);
            for (const Rec& x : L.leaves[li]) used += x.size();
            for (const Rec& x : stale[li]) used += x.size();
            if (used + r.size() <= ns) {
                stale[li].push_back(r);
                break;
            }
            if (tries == L.leaves.size()) throw std::runtime_error("hfs writer: no leaf has room for a stale record");
        }
    }
    std::vector<uint64_t> leafOffsets;
    for (size_t i = 0; i < L.leaves.size(); ++i) {
        const uint32_t f = i + 1 < L.leaves.size() ? leafNo[i + 1] : 0, b = i ? leafNo[i - 1] : 0;
        writeNode(img, nodeAt(leafNo[i]), ns, f, b, -1, 1, L.leaves[i], &stale[i]);
        leafOffsets.push_back(nodeAt(leafNo[i]));
    }
    // Index levels: each record keys a child by the child's first key.
    std::vector<uint32_t> below = leafNo;
    uint32_t root = leafNo[0];
    for (size_t lv = 0; lv < L.levels.size(); ++lv) {
        const auto& nos = levelNo[lv];
        size_t c = 0;
        for (size_t k = 0; k < L.levels[lv].size(); ++k) {
            std::vector<Rec> recs;
            for (const auto& key : L.levels[lv][k]) {
                Rec r;
                r.key = key;
                if (!(t.attributes & 4)) {
                    r.key.resize(t.maxKeyLength + 2u, 0);
                    putBe16(r.key, 0, t.maxKeyLength);
                }
                r.data.resize(4);
                putBe32(r.data, 0, below[c++]);
                recs.push_back(r);
            }
            writeNode(img, nodeAt(nos[k]), ns, k + 1 < nos.size() ? nos[k + 1] : 0, k ? nos[k - 1] : 0, 0,
                      static_cast<uint8_t>(lv + 2), recs);
        }
        below = nos;
        root = nos[0];
    }
    if (!t.firstNodeStale.empty()) writeNode(img, nodeAt(firstStale), ns, 0, 0, -1, 1, t.firstNodeStale);
    if (!t.freedNodeStale.empty()) writeNode(img, nodeAt(freedNo), ns, 0, 0, -1, 1, t.freedNodeStale);

    // Header node: header record, user data record, map record.
    std::vector<uint8_t> h(ns, 0);
    putBe32(h, 0, mapNo.empty() ? 0 : mapNo[0]);
    h[8] = 1;
    putBe16(h, 10, 3);
    uint32_t leafRecords = 0;
    for (auto& l : L.leaves) leafRecords += static_cast<uint32_t>(l.size());
    putBe16(h, 14, static_cast<uint32_t>(L.levels.size() + (t.records.empty() ? 0 : 1)));
    putBe32(h, 16, t.records.empty() ? 0 : root);
    putBe32(h, 20, leafRecords);
    putBe32(h, 24, t.records.empty() ? 0 : leafNo.front());
    putBe32(h, 28, t.records.empty() ? 0 : leafNo.back());
    putBe16(h, 32, ns);
    putBe16(h, 34, t.maxKeyLength);
    putBe32(h, 36, L.totalNodes);
    putBe32(h, 40, L.totalNodes - L.usedNodes);
    putBe32(h, 46, ns);  // clump size
    h[50] = 0;         // btreeType
    h[51] = t.keyCompare;
    putBe32(h, 52, t.attributes);
    putBe16(h, ns - 2, 14);
    putBe16(h, ns - 4, 120);
    putBe16(h, ns - 6, 248);
    putBe16(h, ns - 8, ns - 8);
    // Nodes in use: 0, then every live node (not the freed ones).
    std::vector<uint8_t> bits((L.totalNodes + 7) / 8, 0);
    auto setBit = [&](uint32_t n) { bits[n / 8] |= static_cast<uint8_t>(0x80 >> (n % 8)); };
    setBit(0);
    if (!t.records.empty())
        for (uint32_t n : leafNo) setBit(n);
    for (auto& lv : levelNo)
        for (uint32_t n : lv) setBit(n);
    for (uint32_t n : mapNo) setBit(n);
    const size_t headerMap = ns - 256;
    std::memcpy(h.data() + 248, bits.data(), std::min(headerMap, bits.size()));
    std::memcpy(img.data() + nodeAt(0), h.data(), ns);
    size_t done = headerMap;
    for (size_t i = 0; i < mapNo.size(); ++i) {
        std::vector<uint8_t> m(ns, 0);
        putBe32(m, 0, i + 1 < mapNo.size() ? mapNo[i + 1] : 0);
        m[8] = 2;
        putBe16(m, 10, 1);
        putBe16(m, ns - 2, 14);
        putBe16(m, ns - 4, ns - 4);
        const size_t n = std::min(bits.size() - std::min(bits.size(), done), static_cast<size_t>(ns - 18));
        if (n) std::memcpy(m.data() + 14, bits.data() + done, n);
        done += ns - 18;
        std::memcpy(img.data() + nodeAt(mapNo[i]), m.data(), ns);
    }
    return leafOffsets;
}

struct Node {
    HfsItem item;
    std::u16string name;
    uint32_t cnid = 0, parent = 0;
    bool folder = false, deleted = false, inode = false, link = false;
    uint32_t inodeNum = 0;
    uint32_t valence = 0;
    uint8_t ownerFlags = 0;
    std::vector<uint8_t> dataBytes, rsrcBytes;  // what the forks hold on disk
    Fork data, rsrc;
    std::vector<uint8_t> attr;  // decmpfs attribute value
};

std::vector<uint8_t> zlibCompress(const uint8_t* p, size_t n) {
    uLongf len = compressBound(static_cast<uLong>(n));
    std::vector<uint8_t> out(len);
    if (compress2(out.data(), &len, p, static_cast<uLong>(n), 6) != Z_OK) throw std::runtime_error("zlib");
    out.resize(len);
    return out;
}

// decmpfs: the attribute value and, for type 4, the resource fork.
void compressInto(Node& n, uint32_t attrNodeSize) {
    const std::vector<uint8_t>& d = n.item.data;
    int type = n.item.decmpfs;
    std::vector<uint8_t> hdr(16, 0);
    hdr[0] = 'f', hdr[1] = 'p', hdr[2] = 'm', hdr[3] = 'c';
    for (int i = 0; i < 8; ++i) hdr[8 + i] = static_cast<uint8_t>(static_cast<uint64_t>(d.size()) >> (8 * i));
    std::vector<uint8_t> z = zlibCompress(d.data(), d.size());
    if (type == 3 && z.size() + 16 + 64 > attrNodeSize / 2) type = 4;
    putLe32(hdr, 4, static_cast<uint32_t>(type));
    n.attr = hdr;
    n.ownerFlags |= 0x20;
    if (type == 3) {
        n.attr.insert(n.attr.end(), z.begin(), z.end());
    } else if (type == 4) {
        // Resource fork: header, data (length, unit table, units), map.
        std::vector<std::vector<uint8_t>> units;
        for (size_t off = 0; off < d.size(); off += 65536) {
            size_t len = std::min<size_t>(65536, d.size() - off);
            std::vector<uint8_t> u = zlibCompress(d.data() + off, len);
            if (u.size() >= len) {
                u.assign(1, 0xFF);
                u.insert(u.end(), d.begin() + static_cast<long>(off), d.begin() + static_cast<long>(off + len));
            }
            units.push_back(u);
        }
        std::vector<uint8_t> table(4 + 8 * units.size(), 0);
        putLe32(table, 0, static_cast<uint32_t>(units.size()));
        uint32_t pos = static_cast<uint32_t>(table.size());
        for (size_t i = 0; i < units.size(); ++i) {
            putLe32(table, 4 + 8 * i, pos);
            putLe32(table, 8 + 8 * i, static_cast<uint32_t>(units[i].size()));
            pos += static_cast<uint32_t>(units[i].size());
        }
        for (auto& u : units) table.insert(table.end(), u.begin(), u.end());
        std::vector<uint8_t> r(256 + 4, 0);
        const uint32_t dataLen = 4 + static_cast<uint32_t>(table.size());
        putBe32(r, 0, 256);
        putBe32(r, 4, 256 + dataLen);
        putBe32(r, 8, dataLen);
        putBe32(r, 12, 50);
        putBe32(r, 256, static_cast<uint32_t>(table.size()));
        r.insert(r.end(), table.begin(), table.end());
        std::vector<uint8_t> map(50, 0);
        std::memcpy(map.data(), r.data(), 16);
        putBe16(map, 24, 28);
        putBe16(map, 26, 50);
        putBe16(map, 28, 0);
        map[30] = 'c', map[31] = 'm', map[32] = 'p', map[33] = 'f';
        putBe16(map, 34, 0);
        putBe16(map, 36, 10);
        putBe16(map, 38, 1);
        putBe16(map, 40, 0xFFFF);
        r.insert(r.end(), map.begin(), map.end());
        n.rsrcBytes = r;
    } else {
        n.attr.insert(n.attr.end(), d.begin(), d.end());  // a method the reader does not know
    }
    n.dataBytes.clear();
}

}  // namespace

HfsImage makeHfsVolume(const std::vector<HfsItem>& items, const HfsOptions& o) {
    const uint32_t bs = o.blockSize;
    HfsImage out;
    std::vector<Node> nodes;
    std::map<std::string, size_t> byPath;
    Node root;
    root.folder = true;
    root.cnid = 2;
    root.parent = 1;
    root.name = utf8ToUtf16(o.volumeName);
    root.item.created = 0xD0000000;
    nodes.push_back(root);
    byPath[""] = 0;
    uint32_t nextId = 16;
    auto parentOf = [](const std::string& p) { size_t s = p.rfind('/'); return s == std::string::npos ? std::string() : p.substr(0, s); };
    auto leafName = [](const std::string& p) {
        size_t s = p.rfind('/');
        std::string n = s == std::string::npos ? p : p.substr(s + 1);
        std::replace(n.begin(), n.end(), ':', '/');
        return utf8ToUtf16(n);
    };
    bool anyLink = false;
    for (const HfsItem& it : items) anyLink = anyLink || !it.hardLinkTo.empty();
    size_t privateIdx = 0;
    if (anyLink) {
        Node p;
        p.folder = true;
        p.cnid = nextId++;
        p.parent = 2;
        p.name = std::u16string(4, u'\0') + u"HFS+ Private Data";
        p.item.mode = 040000;
        privateIdx = nodes.size();
        nodes.push_back(p);
    }
    for (const HfsItem& it : items) {
        const std::string par = parentOf(it.path);
        if (!byPath.count(par)) throw std::runtime_error("hfs writer: parent not given before " + it.path);
        Node n;
        n.item = it;
        n.folder = it.folder;
        n.deleted = it.deleted;
        n.cnid = nextId++;
        n.parent = nodes[byPath[par]].cnid;
        n.name = leafName(it.path);
        n.dataBytes = it.data;
        n.rsrcBytes = it.rsrc;
        if (!it.hardLinkTo.empty()) {
            auto t = byPath.find(it.hardLinkTo);
            if (t == byPath.end()) throw std::runtime_error("hfs writer: link target missing");
            Node& target = nodes[t->second];
            if (!target.link) {
                // The target's content moves into an indirect node file.
                Node in = target;
                in.cnid = nextId++;
                in.parent = nodes[privateIdx].cnid;
                in.name = utf8ToUtf16("iNode" + std::to_string(in.cnid));
                in.inode = true;
                target.link = true;
                target.inodeNum = in.cnid;
                target.dataBytes.clear();
                target.rsrcBytes.clear();
                target.item.decmpfs = 0;
                nodes.push_back(in);
            }
            n.link = true;
            n.inodeNum = nodes[byPath[it.hardLinkTo]].inodeNum;
            n.dataBytes.clear();
            n.rsrcBytes.clear();
        }
        out.cnids[it.path] = n.cnid;
        byPath[it.path] = nodes.size();
        nodes.push_back(n);
    }
    for (Node& n : nodes)
        if (!n.folder && !n.link && n.item.decmpfs) compressInto(n, o.attributesNodeSize);
    std::map<uint32_t, size_t> byId;
    for (size_t i = 0; i < nodes.size(); ++i) byId[nodes[i].cnid] = i;
    for (const Node& n : nodes)
        if (!n.deleted && n.cnid != 2 && byId.count(n.parent)) ++nodes[byId[n.parent]].valence;

    // Block plan. Reserved: the blocks holding bytes 0-1535.
    uint32_t cursor = (1536 + bs - 1) / bs;
    auto alloc = [&](uint32_t blocks, uint32_t pieces, std::vector<Ext>& ext) {
        pieces = std::max<uint32_t>(1, std::min(pieces, blocks));
        for (uint32_t i = 0; i < pieces && blocks; ++i) {
            uint32_t n = blocks / pieces + (i < blocks % pieces ? 1 : 0);
            ext.push_back({cursor, n});
            cursor += n;
            if (pieces > 1) ++cursor;  // a gap between the pieces
        }
    };
    // Records, built once the forks are placed; sizes do not depend on it.
    auto fileRecord = [&](const Node& n, uint32_t parent, uint64_t sizeFactor) {
        Rec r;
        r.key = catalogKey(parent, n.name);
        r.data.assign(n.folder ? 88 : 248, 0);
        putBe16(r.data, 0, n.folder ? 1 : 2);
        putBe16(r.data, 2, n.folder ? 0 : (0x0002 | (n.link ? 0x20 : 0)));
        if (n.folder) putBe32(r.data, 4, n.valence);
        putBe32(r.data, 8, n.cnid);
        putBe32(r.data, 12, n.item.created);
        putBe32(r.data, 16, n.item.modified);
        putBe32(r.data, 20, n.item.modified + 60);
        putBe32(r.data, 24, n.item.accessed);
        r.data[41] = n.ownerFlags;
        putBe16(r.data, 42, n.folder ? 040755 : n.item.mode);
        if (n.link) {
            putBe32(r.data, 44, n.inodeNum);
            putBe32(r.data, 48, 0x686C6E6B);  // hlnk
            putBe32(r.data, 52, 0x6866732B);  // hfs+
        }
        if (!n.folder) {
            Fork d = n.data;
            d.size *= sizeFactor;
            putFork(r.data, 88, d, bs);
            putFork(r.data, 168, n.rsrc, bs);
        }
        return r;
    };
    auto threadRecord = [&](const Node& n) {
        Rec r;
        r.key = catalogKey(n.cnid, u"");
        r.data.assign(10 + 2 * n.name.size(), 0);
        putBe16(r.data, 0, n.folder ? 3 : 4);
        putBe32(r.data, 4, n.parent);
        putBe16(r.data, 8, static_cast<uint32_t>(n.name.size()));
        for (size_t i = 0; i < n.name.size(); ++i) putBe16(r.data, 10 + 2 * i, n.name[i]);
        return r;
    };

    // Catalog tree (sizes first).
    TreeInput cat{o.catalogNodeSize, 516, 6, static_cast<uint8_t>(o.hfsx ? 0xBC : 0xCF), {}, {}, {}, {}, o.spareNodes};
    auto buildCatalog = [&]() {
        cat.records.clear();
        cat.freeSpaceStale.clear();
        cat.freedNodeStale.clear();
        cat.firstNodeStale.clear();
        std::vector<Rec> journalStale;
        for (const Node& n : nodes) {
            Rec a = fileRecord(n, n.parent, 1), b = threadRecord(n);
            if (!n.deleted) {
                cat.records.push_back(a);
                cat.records.push_back(b);
            } else if (n.item.stale == HfsStale::FreeSpace) {
                cat.freeSpaceStale.push_back(a);
                cat.freeSpaceStale.push_back(b);
            } else if (n.item.stale == HfsStale::FreedNode) {
                cat.freedNodeStale.push_back(a);
                cat.freedNodeStale.push_back(b);
            }
        }
        for (const std::string& p : o.staleCopiesFirst) {
            const Node& n = nodes[byPath.at(p)];
            cat.firstNodeStale.push_back(fileRecord(n, o.staleParent, 2));
        }
        if (!o.staleCopiesFirst.empty()) cat.firstNodeStale.push_back(fileRecord(nodes[0], o.staleParent, 1));
        std::sort(cat.records.begin(), cat.records.end(),
                  [&](const Rec& x, const Rec& y) { return catalogLess(x, y, o.hfsx); });
    };
    buildCatalog();
    TreeLayout catL = layoutTree(cat);

    // Extents records: the data and resource forks beyond 8 extents, and
    // the catalog's own.
    auto overflowCount = [](uint32_t pieces) { return pieces > 8 ? (pieces - 8 + 7) / 8 : 0; };
    uint32_t extRecs = overflowCount(o.catalogExtents);
    for (const Node& n : nodes) extRecs += overflowCount(n.item.dataFragments) + overflowCount(n.item.rsrcFragments);
    TreeInput ext{o.extentsNodeSize, 10, 2, 0, {}, {}, {}, {}, o.spareNodes};
    ext.records.resize(extRecs);
    for (Rec& r : ext.records) r.key.assign(12, 0), r.data.assign(64, 0);
    TreeLayout extL = layoutTree(ext);

    // Attributes tree.
    TreeInput att{o.attributesNodeSize, 266, 6, 0, {}, {}, {}, {}, o.spareNodes};
    auto buildAttributes = [&]() {
        att.records.clear();
        const std::u16string name = u"com.apple.decmpfs";
        for (const Node& n : nodes) {
            if (n.attr.empty()) continue;
            Rec r;
            r.key.assign(14 + 2 * name.size(), 0);
            putBe16(r.key, 0, static_cast<uint32_t>(12 + 2 * name.size()));
            putBe32(r.key, 4, n.cnid);
            putBe16(r.key, 12, static_cast<uint32_t>(name.size()));
            for (size_t i = 0; i < name.size(); ++i) putBe16(r.key, 14 + 2 * i, name[i]);
            r.data.assign(16 + ((n.attr.size() + 1) & ~size_t(1)), 0);
            putBe32(r.data, 0, 0x10);
            putBe32(r.data, 12, static_cast<uint32_t>(n.attr.size()));
            std::memcpy(r.data.data() + 16, n.attr.data(), n.attr.size());
            att.records.push_back(r);
        }
    };
    buildAttributes();
    TreeLayout attL = layoutTree(att);

    auto treeBlocks = [&](const TreeLayout& L, uint32_t ns) {
        return static_cast<uint32_t>((static_cast<uint64_t>(L.totalNodes) * ns + bs - 1) / bs);
    };
    Fork extFork, catFork, attFork, allocFork;
    alloc(treeBlocks(extL, o.extentsNodeSize), 1, extFork.extents);
    alloc(treeBlocks(catL, o.catalogNodeSize), o.catalogExtents, catFork.extents);
    if (!att.records.empty()) alloc(treeBlocks(attL, o.attributesNodeSize), 1, attFork.extents);
    // Whole blocks: the node count follows the allocation.
    extFork.size = static_cast<uint64_t>(extFork.blocks()) * bs / o.extentsNodeSize * o.extentsNodeSize;
    catFork.size = static_cast<uint64_t>(catFork.blocks()) * bs / o.catalogNodeSize * o.catalogNodeSize;
    attFork.size = static_cast<uint64_t>(attFork.blocks()) * bs / o.attributesNodeSize * o.attributesNodeSize;
    extL.totalNodes = static_cast<uint32_t>(extFork.size / o.extentsNodeSize);
    catL.totalNodes = static_cast<uint32_t>(catFork.size / o.catalogNodeSize);
    attL.totalNodes = static_cast<uint32_t>(attFork.size / o.attributesNodeSize);
    uint32_t jibBlock = 0, journalStart = 0;
    const uint32_t journalBytes = 256 * 1024;
    if (o.journal) {
        jibBlock = cursor++;
        journalStart = cursor;
        cursor += (journalBytes + bs - 1) / bs;
    }
    for (Node& n : nodes) {
        auto place = [&](const std::vector<uint8_t>& bytes, uint32_t pieces, Fork& f) {
            f.size = bytes.size();
            alloc(static_cast<uint32_t>((bytes.size() + bs - 1) / bs), pieces, f.extents);
        };
        place(n.dataBytes, n.item.dataFragments, n.data);
        place(n.rsrcBytes, n.item.rsrcFragments, n.rsrc);
    }
    cursor += o.spareBlocks;
    // The allocation file goes last; its size depends on the total.
    uint32_t allocBlocks = 1;
    for (int i = 0; i < 4; ++i) {
        const uint64_t total = static_cast<uint64_t>(cursor) + allocBlocks + (1024 + bs - 1) / bs + 1;
        allocBlocks = static_cast<uint32_t>(((total + 7) / 8 + bs - 1) / bs);
    }
    alloc(allocBlocks, 1, allocFork.extents);
    const uint32_t tailBlocks = (1024 + bs - 1) / bs;
    const uint32_t totalBlocks = cursor + tailBlocks;
    allocFork.size = static_cast<uint64_t>(allocBlocks) * bs;
    out.totalBlocks = totalBlocks;
    const uint64_t volumeBytes = static_cast<uint64_t>(totalBlocks) * bs;
    std::vector<uint8_t>& img = out.bytes;
    img.assign(static_cast<size_t>(volumeBytes), 0);

    // Extents-overflow records (sorted: fork type, file, start block).
    struct OverflowRec {
        uint8_t fork;
        uint32_t file, start;
        std::vector<Ext> ext;
    };
    std::vector<OverflowRec> ovs;
    auto addOverflow = [&](uint8_t fork, uint32_t file, const std::vector<Ext>& all) {
        uint32_t mapped = 0;
        for (size_t i = 0; i < all.size(); ++i) {
            if (i >= 8 && (i - 8) % 8 == 0)
                ovs.push_back({fork, file, mapped, {}});
            if (i >= 8) ovs.back().ext.push_back(all[i]);
            mapped += all[i].count;
        }
    };
    addOverflow(0, 4, catFork.extents);
    for (const Node& n : nodes) {
        addOverflow(0x00, n.cnid, n.data.extents);
        addOverflow(0xFF, n.cnid, n.rsrc.extents);
    }
    std::sort(ovs.begin(), ovs.end(), [](const OverflowRec& a, const OverflowRec& b) {
        return std::tie(a.fork, a.file, a.start) < std::tie(b.fork, b.file, b.start);
    });
    ext.records.clear();
    for (const OverflowRec& v : ovs) {
        Rec r;
        r.key.assign(12, 0);
        putBe16(r.key, 0, 10);
        r.key[2] = v.fork;
        putBe32(r.key, 4, v.file);
        putBe32(r.key, 8, v.start);
        r.data.assign(64, 0);
        for (size_t i = 0; i < v.ext.size(); ++i) {
            putBe32(r.data, 8 * i, v.ext[i].start);
            putBe32(r.data, 8 * i + 4, v.ext[i].count);
        }
        ext.records.push_back(r);
    }
    buildCatalog();  // now with the extents of every fork
    // The same packing with the final records; the node counts follow the
    // allocation.
    auto relayout = [](TreeLayout& L, const TreeInput& t) {
        const uint32_t total = L.totalNodes;
        L = layoutTree(t);
        if (L.usedNodes > total) throw std::runtime_error("hfs writer: tree grew");
        L.totalNodes = total;
    };
    relayout(catL, cat);
    relayout(extL, ext);
    if (!att.records.empty()) relayout(attL, att);

    auto forkAt = [&](const Fork& f, uint32_t ns) {
        return [&f, ns, bs](uint32_t node) -> size_t {
            uint64_t off = static_cast<uint64_t>(node) * ns;
            for (const Ext& e : f.extents) {
                const uint64_t bytes = static_cast<uint64_t>(e.count) * bs;
                if (off < bytes) return static_cast<size_t>(static_cast<uint64_t>(e.start) * bs + off);
                off -= bytes;
            }
            throw std::runtime_error("hfs writer: node outside its fork");
        };
    };
    writeTree(img, ext, extL, forkAt(extFork, o.extentsNodeSize));
    out.catalogLeaves = writeTree(img, cat, catL, forkAt(catFork, o.catalogNodeSize));
    if (!att.records.empty()) writeTree(img, att, attL, forkAt(attFork, o.attributesNodeSize));
    out.catalogNode0 = static_cast<uint64_t>(catFork.extents[0].start) * bs;
    out.extentsNode0 = static_cast<uint64_t>(extFork.extents[0].start) * bs;

    // Fork contents.
    auto writeFork = [&](const std::vector<uint8_t>& bytes, const Fork& f) {
        size_t done = 0;
        for (const Ext& e : f.extents) {
            size_t n = std::min<size_t>(bytes.size() - done, static_cast<size_t>(e.count) * bs);
            std::memcpy(img.data() + static_cast<size_t>(e.start) * bs, bytes.data() + done, n);
            done += n;
        }
    };
    for (const Node& n : nodes) {
        writeFork(n.dataBytes, n.data);
        writeFork(n.rsrcBytes, n.rsrc);
    }

    // Journal: info block, header, and a copy of a leaf node that still
    // holds the records of the files deleted "in the journal".
    if (o.journal) {
        std::vector<uint8_t> j(512, 0);
        putBe32(j, 0, 1);
        putBe64(j, 36, static_cast<uint64_t>(journalStart) * bs);
        putBe64(j, 44, journalBytes);
        std::memcpy(img.data() + static_cast<size_t>(jibBlock) * bs, j.data(), j.size());
        uint8_t* jh = img.data() + static_cast<size_t>(journalStart) * bs;
        const uint32_t magic = 0x4A4E4C78, endian = 0x12345678;
        std::memcpy(jh, &magic, 4);
        std::memcpy(jh + 4, &endian, 4);
        std::vector<Rec> recs;
        for (const Node& n : nodes)
            if (n.deleted && n.item.stale == HfsStale::Journal) {
                recs.push_back(fileRecord(n, n.parent, 1));
                recs.push_back(threadRecord(n));
            }
        if (!recs.empty()) {
            const uint32_t ns = o.catalogNodeSize;
            if (4096 + ns > journalBytes) throw std::runtime_error("hfs writer: journal too small");
            std::vector<uint8_t> tmp(ns, 0);
            writeNode(tmp, 0, ns, 0, 0, -1, 1, recs);
            std::memcpy(jh + 4096 + 512, tmp.data(), ns);  // a block-list header before it
        }
    }

    // Allocation bitmap: every block from 0 to the cursor in use, but the
    // gaps between pieces and the blocks of deleted files.
    std::vector<uint8_t> bits(static_cast<size_t>(allocFork.size), 0);
    auto mark = [&](uint64_t b, bool on) {
        if (on)
            bits[b / 8] |= static_cast<uint8_t>(0x80 >> (b % 8));
        else
            bits[b / 8] &= static_cast<uint8_t>(~(0x80 >> (b % 8)));
    };
    std::vector<Ext> usedRuns;
    usedRuns.push_back({0, (1536 + bs - 1) / bs});
    auto addRuns = [&](const Fork& f) { usedRuns.insert(usedRuns.end(), f.extents.begin(), f.extents.end()); };
    addRuns(extFork), addRuns(catFork), addRuns(attFork), addRuns(allocFork);
    if (o.journal) usedRuns.push_back({jibBlock, 1 + (journalBytes + bs - 1) / bs});
    for (const Node& n : nodes)
        if (!n.deleted || n.item.reused) addRuns(n.data), addRuns(n.rsrc);
    usedRuns.push_back({totalBlocks - tailBlocks, tailBlocks});
    uint64_t usedCount = 0;
    for (const Ext& e : usedRuns)
        for (uint32_t k = 0; k < e.count; ++k) mark(e.start + k, true), ++usedCount;
    writeFork(bits, allocFork);

    // Volume header and its copy 1024 bytes before the end.
    std::vector<uint8_t> h(512, 0);
    putBe16(h, 0, o.hfsx ? 0x4858 : 0x482B);
    putBe16(h, 2, o.hfsx ? 5 : 4);
    putBe32(h, 4, 0x100 | (o.journal ? 0x2000 : 0));
    putBe32(h, 8, o.journal ? 0x4846534A : 0x31302E30);
    putBe32(h, 12, jibBlock);
    putBe32(h, 16, 0xD0000000);
    putBe32(h, 20, 0xD0100000);
    uint32_t files = 0, folders = 0;
    for (const Node& n : nodes)
        if (!n.deleted && n.cnid != 2) (n.folder ? folders : files)++;
    putBe32(h, 32, files);
    putBe32(h, 36, folders);
    putBe32(h, 40, bs);
    putBe32(h, 44, totalBlocks);
    putBe32(h, 48, static_cast<uint32_t>(totalBlocks - std::min<uint64_t>(usedCount, totalBlocks)));
    putBe32(h, 56, bs);
    putBe32(h, 60, bs);
    putBe32(h, 64, nextId);
    putFork(h, 112, allocFork, bs);
    putFork(h, 192, extFork, bs);
    putFork(h, 272, catFork, bs);
    if (!att.records.empty()) putFork(h, 352, attFork, bs);
    std::memcpy(img.data() + 1024, h.data(), 512);
    std::memcpy(img.data() + volumeBytes - 1024, h.data(), 512);
    return out;
}

}  // namespace brantlow::test
