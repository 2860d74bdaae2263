// Settings-file loader over arbitrary bytes: both loaders' checks, the
// record decoder, and building the engine's tables from what was loaded.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "raw/carve.h"
#include "raw/settings.h"

using namespace brantlow::raw;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (bool operatorFile : {true, false}) {
        std::vector<SettingsRecord> recs;
        std::string msg;
        if (!parseSettingsBytes(data, size, operatorFile, recs, msg)) continue;
        if (recs.empty() || recs.size() > size / kRecordBytes) std::abort();
        for (const auto& r : recs) {
            if (r.startLength > kSignatureMax || r.endLength > kSignatureMax) std::abort();
            if (r.extension.size() > kExtensionUnits || r.category.size() > kCategoryUnits) std::abort();
            // Decoding is stable: what is written back reads back the same.
            auto b = encodeRecord(r);
            SettingsRecord again = decodeRecord(b.data());
            if (encodeRecord(again) != b) std::abort();
        }
        myJpg engine;
        engine.addRecords(recs);
        if (!engine.initialize()) std::abort();
        for (const auto& t : engine.types()) (void)engine.itemText(CarvedItem{0, 0, t.identifier, FindStatus::Unchecked, nullptr});
    }
    // The editor's text parsing over the same bytes.
    std::string text(reinterpret_cast<const char*>(data), std::min<size_t>(size, 256));
    (void)parseSignatureText(text);
    (void)parseDecimal(text);
    return 0;
}
