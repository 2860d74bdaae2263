#include "ui/CurrentSource.h"

#include <map>
#include <mutex>

#include "disk/mapped_reader.h"
#include "disk/source.h"

namespace brantlow {

std::shared_ptr<readWriteInterface> g_deviceReader;
std::atomic<uint64_t> g_totalSectors{0};

namespace gui {

namespace {
std::mutex g_mapsMutex;
std::string g_sourcePath;  // GUI thread only
std::map<std::string, std::string> g_maps;  // image path -> map path

// The sets put together this session, by name (GUI thread only).
std::map<std::string, std::shared_ptr<readWriteInterface>>& assembledSources() {
    static std::map<std::string, std::shared_ptr<readWriteInterface>> sets;
    return sets;
}
}  // namespace

void setSourceMap(const std::string& imagePath, const std::string& mapPath) {
    std::lock_guard<std::mutex> lk(g_mapsMutex);
    if (mapPath.empty())
        g_maps.erase(imagePath);
    else
        g_maps[imagePath] = mapPath;
}

std::string sourceMapOf(const std::string& imagePath) {
    std::lock_guard<std::mutex> lk(g_mapsMutex);
    auto it = g_maps.find(imagePath);
    return it == g_maps.end() ? std::string() : it->second;
}

std::string registerAssembledSource(std::shared_ptr<readWriteInterface> reader) {
    auto& sets = assembledSources();
    const std::string name = "assembled:" + std::to_string(sets.size() + 1);
    sets[name] = std::move(reader);
    return name;
}

bool openCurrentSource(const std::string& path, MessageSink& boxes, const ProbeTable& probes) {
    g_sourcePath = path;
    if (auto it = assembledSources().find(path); it != assembledSources().end()) {
        g_deviceReader = it->second;
        g_totalSectors.store(it->second->sizeBytes() / 512);
        return true;
    }
    SourceError why;
    std::shared_ptr<readWriteInterface> r = openSourceReader(path, &why, &probes);
    g_totalSectors.store(0);
    if (r) {
        const std::string map = sourceMapOf(path);
        if (!map.empty()) {
            r = openMappedImage(r, map, &why.text);
            why.errnoValue = 0;
        }
    }
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

std::string currentSourcePath() { return g_deviceReader ? g_sourcePath : std::string(); }

void closeCurrentSource() {
    g_sourcePath.clear();
    g_deviceReader.reset();
    g_totalSectors.store(0);
}

}  // namespace gui
}  // namespace brantlow
