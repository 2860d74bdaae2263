#include "ui/CurrentSource.h"

#include "disk/source.h"

namespace brantlow {

std::shared_ptr<readWriteInterface> g_deviceReader;
std::atomic<uint64_t> g_totalSectors{0};

namespace gui {

bool openCurrentSource(const std::string& path, MessageSink& boxes, const ProbeTable& probes) {
    SourceError why;
    auto r = openSourceReader(path, &why, &probes);
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
