#include "ui/CurrentSource.h"

#include <map>

#include "disk/source.h"
#include "scan/volumes.h"

namespace brantlow {

std::shared_ptr<readWriteInterface> g_deviceReader;
std::atomic<uint64_t> g_totalSectors{0};

namespace gui {

namespace {
// The sets put together this session, by name (GUI thread only).
std::map<std::string, std::shared_ptr<readWriteInterface>>& assembledSources() {
    static std::map<std::string, std::shared_ptr<readWriteInterface>> sets;
    return sets;
}
}  // namespace

std::string registerAssembledSource(std::shared_ptr<readWriteInterface> reader) {
    auto& sets = assembledSources();
    const std::string name = "assembled:" + std::to_string(sets.size() + 1);
    sets[name] = std::move(reader);
    return name;
}

bool openCurrentSource(const std::string& path, MessageSink& boxes) {
    if (auto it = assembledSources().find(path); it != assembledSources().end()) {
        g_deviceReader = it->second;
        g_totalSectors.store(it->second->sizeBytes() / 512);
        return true;
    }
    SourceError why;
    auto r = openSourceReader(path, &why, &volumeProbeTable());
    g_totalSectors.store(0);
    if (!r) {
        // A reader that is not open, whose openError() says why the file
        // itself could not be opened (0 for an image that cannot be read).
        auto unopened = std::make_shared<FileReadSeek>();
        if (why.errnoValue) unopened->Open(path);
        g_deviceReader = unopened;
        // A damaged or unsupported image says why; a file that cannot be
        // opened at all gets the usual box.
        boxes.info(why.errnoValue || why.text.empty() ? "invalid handle ..." : why.text);
        return false;
    }
    g_deviceReader = r;
    g_totalSectors.store(r->sizeBytes() / 512);
    return true;
}

void closeCurrentSource() {
    g_deviceReader.reset();
    g_totalSectors.store(0);
}

}  // namespace gui
}  // namespace brantlow
