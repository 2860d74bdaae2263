// Photos in two pieces: a baseline JPEG whose entropy-coded data stops
// decoding part-way is continued from the sector where decoding succeeds
// again. The Huffman data is decoded (no IDCT: only the codes, the
// coefficient counts, the stuffing and the restart markers are checked),
// with a checkpoint at every MCU; each break point at a sector boundary
// before the failure is tried with each gap of whole sectors, and a
// candidate is taken when the data after it decodes on to the image's last
// MCU and its EOI.
#include "raw/jpeg_fragments.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "raw/finder_util.h"

namespace brantlow::raw {

using namespace finder;

namespace {

constexpr uint64_t kSector = 512;

struct Huffman {
    // Canonical decoding: for each length, the largest code and where its
    // values start.
    std::array<int32_t, 18> maxcode{};
    std::array<int32_t, 17> valptr{};
    std::array<uint16_t, 17> mincode{};
    std::array<uint8_t, 256> values{};
    bool defined = false;
};

struct Component {
    uint8_t id = 0, h = 1, v = 1;
    uint8_t dc = 0, ac = 0;
};

struct Layout {
    std::array<Huffman, 4> dc, ac;
    std::vector<Component> comps;  // in scan order
    unsigned restart = 0;
    uint64_t mcus = 0;
    std::vector<unsigned> blocksPerMcu;  // per scan component
    uint64_t dataStart = 0;
};

void buildTable(Huffman& t, const uint8_t* counts, const uint8_t* vals, size_t nvals) {
    t = Huffman{};
    int code = 0, k = 0;
    for (int len = 1; len <= 16; ++len) {
        t.valptr[len] = k;
        t.mincode[len] = static_cast<uint16_t>(code);
        code += counts[len - 1];
        k += counts[len - 1];
        t.maxcode[len] = counts[len - 1] ? code - 1 : -1;
        code <<= 1;
    }
    t.maxcode[17] = 0x7FFFFFFF;
    std::memcpy(t.values.data(), vals, std::min<size_t>(nvals, 256));
    t.defined = true;
}

// Headers up to the first SOS of a baseline (or extended sequential,
// Huffman) JPEG with one scan holding every component.
bool readLayout(Source& s, Layout& L) {
    uint64_t pos = 2;
    unsigned width = 0, height = 0;
    struct Frame {
        uint8_t id, h, v;
    };
    std::vector<Frame> frame;
    for (int n = 0; n < 512; ++n) {
        const uint8_t* m = s.view(pos, 4);
        if (!m || m[0] != 0xFF) return false;
        const uint8_t code = m[1];
        if (code == 0xFF) {
            ++pos;
            continue;
        }
        const uint16_t len = be16(m, 4, 2);
        if (len < 2) return false;
        const uint8_t* p = len <= Source::kMaxView ? s.view(pos + 2, len) : nullptr;
        if (code == 0xC0 || code == 0xC1) {
            if (!p || len < 8 || p[2] != 8) return false;
            height = be16(p, len, 3);
            width = be16(p, len, 5);
            const unsigned nf = p[7];
            if (nf < 1 || nf > 4 || len != 8 + 3 * nf || !width || !height) return false;
            for (unsigned i = 0; i < nf; ++i) {
                const uint8_t hv = p[9 + 3 * i];
                if ((hv >> 4) < 1 || (hv >> 4) > 4 || (hv & 15) < 1 || (hv & 15) > 4) return false;
                frame.push_back({p[8 + 3 * i], static_cast<uint8_t>(hv >> 4), static_cast<uint8_t>(hv & 15)});
            }
        } else if ((code >= 0xC2 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC)) {
            return false;  // progressive, lossless or arithmetic: not decoded here
        } else if (code == 0xC4) {
            if (!p) return false;
            size_t off = 2;
            while (off + 17 <= len) {
                const uint8_t tc = p[off] >> 4, th = p[off] & 15;
                if (tc > 1 || th > 3) return false;
                size_t total = 0;
                for (int i = 1; i <= 16; ++i) total += p[off + i];
                if (total > 256 || off + 17 + total > len) return false;
                buildTable(tc ? L.ac[th] : L.dc[th], p + off + 1, p + off + 17, total);
                off += 17 + total;
            }
        } else if (code == 0xDD) {
            if (!p || len != 4) return false;
            L.restart = be16(p, len, 2);
        } else if (code == 0xDA) {
            if (!p || frame.empty()) return false;
            const unsigned ns = p[2];
            if (ns < 1 || ns > 4 || len != 6 + 2 * ns || ns != frame.size()) return false;
            unsigned hmax = 1, vmax = 1;
            for (const Frame& f : frame) hmax = std::max<unsigned>(hmax, f.h), vmax = std::max<unsigned>(vmax, f.v);
            for (unsigned i = 0; i < ns; ++i) {
                Component c;
                c.id = p[3 + 2 * i];
                c.dc = p[4 + 2 * i] >> 4;
                c.ac = p[4 + 2 * i] & 15;
                auto f = std::find_if(frame.begin(), frame.end(), [&](const Frame& x) { return x.id == c.id; });
                if (f == frame.end() || c.dc > 3 || c.ac > 3 || !L.dc[c.dc].defined || !L.ac[c.ac].defined) return false;
                c.h = f->h;
                c.v = f->v;
                L.comps.push_back(c);
            }
            if (p[3 + 2 * ns] != 0 || p[4 + 2 * ns] != 63 || p[5 + 2 * ns] != 0) return false;
            if (ns == 1) {
                // One component: its own blocks, one per MCU.
                const unsigned cw = (width * L.comps[0].h + hmax - 1) / hmax, ch = (height * L.comps[0].v + vmax - 1) / vmax;
                L.mcus = uint64_t{(cw + 7) / 8} * ((ch + 7) / 8);
                L.blocksPerMcu = {1};
            } else {
                L.mcus = uint64_t{(width + 8 * hmax - 1) / (8 * hmax)} * ((height + 8 * vmax - 1) / (8 * vmax));
                for (const Component& c : L.comps) L.blocksPerMcu.push_back(unsigned{c.h} * c.v);
            }
            L.dataStart = pos + 2 + len;
            return true;
        }
        pos += 2 + len;
    }
    return false;
}

// Bytes from a source, with one piece spliced out: offsets below `cut`
// read as they are, the others `gap` bytes further on.
struct Bytes {
    Source& s;
    uint64_t cut = UINT64_MAX, gap = 0;
    const uint8_t* p = nullptr;
    uint64_t from = 0, to = 0;  // p holds [from, to)

    bool at(uint64_t off, uint8_t& b) {
        if (off < from || off >= to) {
            const uint64_t real = off < cut ? off : off + gap;
            size_t n = 0;
            p = s.span(real, n);
            if (!p) return false;
            if (off < cut) n = static_cast<size_t>(std::min<uint64_t>(n, cut - off));
            from = off;
            to = off + n;
        }
        b = p[off - from];
        return true;
    }
};

struct State {
    uint64_t pos = 0;  // next byte to read
    uint32_t acc = 0;
    int bits = 0;
    int pred[4]{};
    uint64_t mcu = 0;
    bool marker = false;  // a marker was met: only zero bits follow
};

enum class Result { Done, Failed, Limit };

// Decodes MCUs from st until all are decoded and EOI follows (Done), the
// data stops decoding (Failed; st.pos is where), or the read passes `stop`
// (Limit). Every MCU start is reported to the checkpoint callback.
template <class OnMcu>
Result decode(const Layout& L, Bytes& in, State& st, uint64_t stop, uint64_t& end, OnMcu onMcu) {
    bool& marker = st.marker;
    auto fill = [&](int need) -> bool {
        while (st.bits < need) {
            uint8_t b = 0;
            if (marker) return false;  // the data ended: a code that reads on is no code
            {
                if (st.pos >= stop) return false;
                if (!in.at(st.pos, b)) return false;
                if (b == 0xFF) {
                    uint8_t c;
                    if (!in.at(st.pos + 1, c)) return false;
                    if (c == 0x00) {
                        st.pos += 2;
                    } else {
                        marker = true;  // the scan's data ends here (or a restart)
                        b = 0;
                    }
                } else {
                    ++st.pos;
                }
            }
            st.acc = (st.acc << 8) | b;
            st.bits += 8;
        }
        return true;
    };
    auto bitsOf = [&](int n, uint32_t& v) -> bool {
        if (n == 0) {
            v = 0;
            return true;
        }
        if (!fill(n)) return false;
        v = (st.acc >> (st.bits - n)) & ((1u << n) - 1);
        st.bits -= n;
        return true;
    };
    auto huff = [&](const Huffman& t, int& sym) -> bool {
        int code = 0;
        for (int len = 1; len <= 16; ++len) {
            uint32_t bit;
            if (!bitsOf(1, bit)) return false;
            code = (code << 1) | static_cast<int>(bit);
            if (code <= t.maxcode[len]) {
                sym = t.values[static_cast<size_t>(t.valptr[len] + code - t.mincode[len]) & 255];
                return true;
            }
        }
        sym = -1;
        return true;
    };
    auto fail = [&]() { return st.pos >= stop ? Result::Limit : Result::Failed; };
    while (st.mcu < L.mcus) {
        onMcu(st);
        if (L.restart && st.mcu && st.mcu % L.restart == 0) {
            // A restart marker between intervals; the bits left are padding.
            st.bits = 0;
            st.acc = 0;
            marker = false;
            uint8_t a, b;
            if (!in.at(st.pos, a) || !in.at(st.pos + 1, b)) return fail();
            if (a != 0xFF || b != 0xD0 + ((st.mcu / L.restart - 1) & 7)) return Result::Failed;
            st.pos += 2;
            for (int& p : st.pred) p = 0;
        }
        for (size_t ci = 0; ci < L.comps.size(); ++ci) {
            const Component& c = L.comps[ci];
            for (unsigned blk = 0; blk < L.blocksPerMcu[ci]; ++blk) {
                int sym;
                if (!huff(L.dc[c.dc], sym)) return fail();
                if (sym < 0 || sym > 11 || marker) return Result::Failed;
                uint32_t v;
                if (!bitsOf(sym, v)) return fail();
                // The DC value stays within what 8-bit samples can give
                // (data that only looks like codes drifts out of it).
                const int diff = sym == 0 ? 0 : (v < (1u << (sym - 1)) ? static_cast<int>(v) - (1 << sym) + 1 : static_cast<int>(v));
                int& pred = st.pred[ci & 3];
                pred += diff;
                if (pred > 2047 || pred < -2048) return Result::Failed;
                for (int k = 1; k < 64;) {
                    if (!huff(L.ac[c.ac], sym)) return fail();
                    if (sym < 0) return Result::Failed;
                    const int r = sym >> 4, size = sym & 15;
                    if (size == 0) {
                        if (r != 15) break;
                        k += 16;
                        if (k > 64) return Result::Failed;
                        continue;
                    }
                    k += r;
                    if (k > 63 || size > 10) return Result::Failed;
                    if (!bitsOf(size, v)) return fail();
                    ++k;
                }
                if (marker) return Result::Failed;
            }
        }
        ++st.mcu;
    }
    // All MCUs: padding bits (ones), then EOI (fill bytes allowed).
    if (st.bits > 0 && (st.acc & ((1u << st.bits) - 1)) != ((1u << st.bits) - 1)) return Result::Failed;
    uint64_t q = st.pos;
    for (int k = 0; k < 64; ++k) {
        uint8_t a, b;
        if (!in.at(q, a)) return Result::Limit;
        if (a != 0xFF) return Result::Failed;
        if (!in.at(q + 1, b)) return Result::Limit;
        if (b == 0xD9) {
            end = q + 2;
            return Result::Done;
        }
        if (b != 0xFF) return Result::Failed;
        ++q;
    }
    return Result::Failed;
}

// Could these 512 bytes be Huffman-coded scan data? Such data looks random:
// many bytes of 0x80 and above, and every FF stuffed (FF 00) or a restart
// marker (or the EOI). Text, zeros and most other data are not.
bool scanDataLike(const uint8_t* p) {
    unsigned high = 0;
    for (size_t i = 0; i < kSector; ++i) {
        high += p[i] >> 7;
        if (p[i] == 0xFF && i + 1 < kSector) {
            const uint8_t c = p[i + 1];
            if (c != 0x00 && !(c >= 0xD0 && c <= 0xD7) && c != 0xD9 && c != 0xFF) return false;
        }
    }
    return high >= kSector / 5;
}

}  // namespace

bool jpegDecodes(Source& s, uint64_t& failAt) {
    Layout L;
    if (!readLayout(s, L) || L.mcus == 0 || L.mcus > (1u << 24)) return true;
    Bytes whole{s};
    State st;
    st.pos = L.dataStart;
    uint64_t end = 0;
    if (decode(L, whole, st, s.limit(), end, [](const State&) {}) != Result::Failed) return true;
    failAt = st.pos;
    return false;
}

bool findJpegSecondFragment(Source& s, uint64_t maxGap, JpegSplice& out, uint64_t budget) {
    Layout L;
    if (!readLayout(s, L) || L.mcus == 0 || L.mcus > (1u << 24)) return false;
    // The data as it lies: where does it stop decoding?
    std::vector<State> marks;  // one per MCU (the last few thousand kept dense)
    Bytes whole{s};
    State st;
    st.pos = L.dataStart;
    uint64_t end = 0;
    const Result r = decode(L, whole, st, s.limit(), end, [&](const State& m) { marks.push_back(m); });
    if (r != Result::Failed) return false;  // whole, or cut by the end of what can be read
    uint64_t failAt = st.pos;
    // Foreign data that decodes for a while (text has no FF to trip on):
    // the first sector that cannot be scan data is where the piece ended.
    for (uint64_t sec = (L.dataStart + kSector - 1) & ~(kSector - 1); sec + kSector <= failAt; sec += kSector) {
        const uint8_t* p = s.view(sec, kSector);
        if (!p) break;
        if (!scanDataLike(p)) {
            failAt = sec;  // the first piece ends at or before it
            break;
        }
    }
    // Break points: sector boundaries up to 16 KiB before the failure, the
    // nearest first; gaps of whole sectors, the smallest first.
    constexpr uint64_t kBack = 16 * 1024, kCheck = 32 * 1024;
    const uint64_t lowest = std::max<uint64_t>(L.dataStart, failAt > kBack ? failAt - kBack : 0);
    // What the search reads, copied once: from the checkpoint before the
    // lowest break to past the largest gap.
    auto first = std::upper_bound(marks.begin(), marks.end(), lowest,
                                  [](uint64_t c, const State& m) { return c < m.pos; });
    if (first == marks.begin()) return false;
    const uint64_t copyFrom = (first - 1)->pos & ~(kSector - 1);
    const uint64_t copyTo = std::min(s.limit(), sum(failAt, maxGap + kCheck + kSector));
    if (copyTo <= copyFrom) return false;
    std::vector<uint8_t> copy(static_cast<size_t>(copyTo - copyFrom));
    for (uint64_t at = copyFrom; at < copyTo;) {
        size_t n = 0;
        const uint8_t* p = s.span(at, n);
        if (!p) return false;
        n = static_cast<size_t>(std::min<uint64_t>(n, copyTo - at));
        std::memcpy(copy.data() + (at - copyFrom), p, n);
        at += n;
    }
    struct Copy : Source {
        Copy(const std::vector<uint8_t>& d, uint64_t base) : Source(base + d.size()), d_(d), base_(base) {}
        const uint8_t* fetch(uint64_t off, size_t want, size_t& len) override {
            (void)want;
            if (off < base_) return nullptr;
            len = static_cast<size_t>(base_ + d_.size() - off);
            return d_.data() + (off - base_);
        }
        const std::vector<uint8_t>& d_;
        uint64_t base_;
    } held(copy, copyFrom);
    // Which sectors could begin the second piece.
    std::vector<uint8_t> like(copy.size() / kSector);
    for (size_t i = 0; i < like.size(); ++i) like[i] = scanDataLike(copy.data() + i * kSector);
    uint64_t tries = 0;
    // The break that keeps the most of the first piece first, then the
    // smallest gap after it.
    for (uint64_t cut = failAt & ~(kSector - 1); cut >= lowest && cut >= kSector; cut -= kSector) {
        for (uint64_t gap = kSector; gap <= maxGap; gap += kSector) {
            const uint64_t next = cut + gap;
            if (next < copyFrom || (next - copyFrom) / kSector >= like.size() || !like[(next - copyFrom) / kSector])
                continue;
            if (++tries > 200000 || s.stopped()) return false;
            // The last MCU that began reading before the cut.
            auto it = std::upper_bound(marks.begin(), marks.end(), cut,
                                       [](uint64_t c, const State& m) { return c < m.pos; });
            if (it == marks.begin()) continue;
            const State from = *(it - 1);
            uint64_t e = 0;
            // Quick test on the copy: the data after the cut decodes for a while.
            Bytes quick{held, cut, gap};
            State probe = from;
            Result q = decode(L, quick, probe, cut + kCheck, e, [](const State&) {});
            const uint64_t spent = probe.pos > from.pos ? probe.pos - from.pos : 0;
            if (spent >= budget) return false;
            budget -= spent;
            if (q == Result::Failed) continue;
            if (q == Result::Limit) {
                // Then the whole rest, to the last MCU and EOI.
                Bytes spliced{s, cut, gap};
                probe = from;
                q = decode(L, spliced, probe, s.limit() > gap ? s.limit() - gap : 0, e, [](const State&) {});
                const uint64_t more = probe.pos > from.pos ? probe.pos - from.pos : 0;
                if (q != Result::Done && more >= budget) return false;
                if (q != Result::Done) {
                    budget -= more;
                    continue;
                }
            }
            out.firstLength = cut;
            out.gap = gap;
            out.size = e;
            return true;
        }
    }
    return false;
}

}  // namespace brantlow::raw
