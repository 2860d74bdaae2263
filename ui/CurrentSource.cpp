#include "ui/CurrentSource.h"

namespace brantlow {

std::shared_ptr<readWriteInterface> g_deviceReader;
std::atomic<uint64_t> g_totalSectors{0};

namespace gui {

bool openCurrentSource(const std::string& path, MessageSink& boxes) {
    auto r = std::make_shared<FileReadSeek>();
    g_deviceReader = r;
    g_totalSectors.store(0);
    if (!r->Open(path)) {
        boxes.info("invalid handle ...");
        return false;
    }
    g_totalSectors.store(r->sizeBytes() / 512);
    return true;
}

void closeCurrentSource() {
    g_deviceReader.reset();
    g_totalSectors.store(0);
}

}  // namespace gui
}  // namespace brantlow
