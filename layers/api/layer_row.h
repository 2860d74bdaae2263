// The one description of a volume layer: what sits between a partition (or
// a whole source) and a file system — an encrypted container, a volume
// group, a RAID set. A layer recognises its header, asks for what it needs,
// and yields the volumes inside as readers like any other; the partition
// walk and the probe table then name what they hold, so a file system
// inside a layer needs no code of its own. Everything above layers/ asks
// the table (layers/layers.h) built from these rows.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "disk/probe.h"
#include "disk/reader.h"
#include "disk/volume_view.h"
#include "layers/api/set_search.h"
#include "platform/secret.h"

namespace brantlow {

// What a layer asks the operator before it can open a volume.
struct LayerQuestion {
    // VolumeKey: only a volume key given outright opens it (no key slot is
    // left); the front ends answer it from a file, never by typing.
    enum class Kind { Passphrase, VolumeKey, Members, Parameters };
    Kind kind = Kind::Passphrase;
    // "Passphrase for LUKS2 volume 1: " (a "%s" in the layer's text is
    // replaced by the volume's number before it is asked).
    std::string prompt;
    std::string lastError;  // why the previous answer did not open it ("" the first time)
    int attempt = 0;        // 0 the first time
};

// An operator is asked this many times at most before a layer stays shut.
constexpr int kLayerAskTries = 3;

// The operator's answers; secrets live only in memory.
struct LayerAnswers {
    platform::Secret passphrase;                    // a passphrase or a key file's bytes
    bool keyFile = false;                           // passphrase holds a key file's bytes
    platform::Secret volumeKey;                     // a volume key given outright
    std::vector<VolumeView> members;                // further member sources (RAID)
    std::map<std::string, std::string> parameters;  // typed parameters (RAID chunk size…)
};

// Asks the operator; false when there is no answer (the layer stays shut).
using LayerAsk = std::function<bool(const LayerQuestion&, LayerAnswers&)>;

// One volume a layer yields.
struct LayeredVolume {
    std::shared_ptr<readWriteInterface> reader;  // its bytes, from its first
    std::string description;                     // "LUKS2", "LV vg0/home", "RAID5 of 3, 64 KiB"
    // What a save's summary says of the files read through it ("the files
    // were written decrypted"); empty: nothing.
    std::string outputNote;
    // Without a reader: why this volume cannot be read (it is listed with
    // the reason).
    std::string note;
};

struct LayerOpen {
    std::vector<LayeredVolume> volumes;
    bool needsAnswer = false;  // cannot open without (another) answer: ask `question`
    LayerQuestion question;
    std::string error;         // why it could not be opened (shown when nothing more is asked)
};

struct LayerRow {
    // Recognises the header; its kinds name the layer in the volume list
    // ("LUKS2"), and a header found by the sector scan is listed like a
    // volume.
    ProbeRow probe;
    // Opens the layer on sources[0], the volume whose header was
    // recognised (further sources: other members of a set), with the
    // answers given so far.
    LayerOpen (*open)(const std::vector<VolumeView>& sources, const LayerAnswers& answers) = nullptr;
    // Optional, for layers made of several volumes (the members of a RAID
    // set, the physical volumes of a volume group): the set a member
    // belongs to ("" when its header names none). Members with the same
    // key, among the volumes of every source given, are opened together:
    // `open` receives them all, the first one found first.
    std::string (*setKey)(const VolumeView& member) = nullptr;
    // Optional, for sets that carry no metadata at all (a hardware RAID's
    // disks): ranks the ways the member sources can be put together
    // (layers/api/set_search.h); `open` then takes one of them as typed
    // parameters (LayerAnswers::parameters).
    SetSearchResult (*search)(const std::vector<VolumeView>& members, const SetSearchContext& context) = nullptr;
};

}  // namespace brantlow
