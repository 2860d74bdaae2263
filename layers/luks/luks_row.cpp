#include "layers/luks/luks.h"

#include <algorithm>
#include <cstring>

#include "layers/luks/luks_cipher.h"
#include "layers/luks/luks_header.h"
#include "layers/luks/luks_reader.h"
#include "layers/luks/luks_unlock.h"

namespace brantlow {

namespace {

std::string nameOf(int version) { return version == 1 ? "LUKS1" : "LUKS2"; }

// The sector scan asks at every sector: most are turned away by their first
// four bytes.
bool maybeLuks(const uint8_t* head, size_t len) {
    return len >= 6 && (std::memcmp(head, "LUKS", 4) == 0 || std::memcmp(head, "SKUL", 4) == 0);
}

bool probe(const uint8_t* head, size_t len, ProbeResult& out) {
    if (!maybeLuks(head, len)) return false;
    auto s = luks::decodeSignature(head, len);
    if (!s) return false;
    out.fileSystem = nameOf(s->version);
    out.sizeSectors = 0;  // the header records none: the payload runs to the end
    // The sector scan looks on behind the header and key slots.
    out.spanSectors = s->version == 1 ? s->payloadOffset / 512 : 2 * s->hdrSize / 512;
    out.identity = s->uuid;
    return true;
}

// A LUKS2 secondary header says where its volume starts.
bool copyAt(const uint8_t* head, size_t len, CopyResult& out) {
    if (!maybeLuks(head, len)) return false;
    auto s = luks::decodeSignature(head, len);
    if (!s || !s->secondary) return false;
    out.sectorsIn = s->hdrOffset / 512;
    out.certain = true;
    return true;
}

LayerOpen open(const std::vector<VolumeView>& sources, const LayerAnswers& answers) {
    LayerOpen r;
    if (sources.empty() || !sources[0].reader()) return r;
    const VolumeView& v = sources[0];
    auto h = luks::readHeader(v);
    if (!h) {
        r.error = "the LUKS header cannot be read: " + h.reason();
        return r;
    }
    const std::string name = nameOf(h->version);
    if (h->payloadOffset >= v.sizeBytes()) {
        r.error = "the " + name + " payload starts at byte " + std::to_string(h->payloadOffset) +
                  ", beyond the end of its volume";
        return r;
    }
    r.question.kind = LayerQuestion::Kind::Passphrase;
    r.question.prompt = "Passphrase for " + name + " volume %s: ";
    luks::Unlocked u;
    if (!answers.volumeKey.empty()) {
        u = luks::checkVolumeKey(v, *h, answers.volumeKey);
    } else if (h->keyslots.empty()) {
        r.question.kind = LayerQuestion::Kind::VolumeKey;
        r.question.prompt = "Volume key for " + name + " volume %s: ";
        r.needsAnswer = true;
        r.error = "no key slot is left: only the volume key opens this volume";
        return r;
    } else if (!answers.passphrase.empty()) {
        u = luks::unlockWithPassphrase(v, *h, answers.passphrase, answers.keyFile);
    } else {
        r.needsAnswer = true;
        return r;
    }
    if (u.key.empty()) {
        r.error = r.question.lastError = u.error;
        r.needsAnswer = u.wrongAnswer;
        return r;
    }
    auto cipher = luks::SectorCipher::make(h->cipher, u.key, h->sectorSize, h->ivTweak);
    if (!cipher) {
        r.error = cipher.reason();
        return r;
    }
    uint64_t size = v.sizeBytes() - h->payloadOffset;
    if (h->payloadSize) size = std::min(size, h->payloadSize);
    auto reader = std::make_shared<luks::DecryptingReader>(v.readerPtr(), v.startByte() + h->payloadOffset, size,
                                                           *cipher);
    r.volumes.push_back({reader, name + " " + h->cipher, "the files were written decrypted"});
    return r;
}

}  // namespace

LayerRow luksRow() {
    LayerRow row;
    row.probe.family = "luks";
    row.probe.probe = probe;
    row.probe.copyAt = copyAt;
    row.probe.scanMarks = {ScanMark::of(0, "LUKS", 4), ScanMark::of(0, "SKUL", 4)};
    for (const char* name : {"LUKS1", "LUKS2"}) {
        VolumeKind k;
        k.listName = name;
        k.foundText = std::string("found ") + name + "...";
        k.sizeUnrecorded = true;
        row.probe.kinds.push_back(k);
    }
    row.open = open;
    return row;
}

}  // namespace brantlow
