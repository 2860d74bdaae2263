#include "disk/mapped_reader.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/files.h"

namespace brantlow {

namespace {
// A map file larger than this is not a map (a 1 TB disk with a bad sector
// in every MiB needs about 30 MiB).
constexpr uint64_t kMaxMapBytes = 256ull << 20;
}  // namespace

MappedReader::MappedReader(std::shared_ptr<readWriteInterface> image, RescueMap map, std::string mapPath)
    : image_(std::move(image)), map_(std::make_shared<const RescueMap>(std::move(map))), mapPath_(std::move(mapPath)) {
    setSectorSize(image_->sectorSize());
}

MappedReader::MappedReader(std::shared_ptr<readWriteInterface> image, std::shared_ptr<const RescueMap> map)
    : image_(std::move(image)), map_(std::move(map)) {
    setSectorSize(image_->sectorSize());
}

long long MappedReader::readAbsolute(uint64_t offset, void* buffer, size_t count) {
    if (count == 0) return 0;
    const uint64_t size = sizeBytes();
    if (offset >= size) return 0;
    count = static_cast<size_t>(std::min<uint64_t>(count, size - offset));
    const auto bad = map_->firstUnfinished(offset, count);
    const size_t good = bad ? static_cast<size_t>(*bad - offset) : count;
    if (good == 0) return -1;
    long long n = image_->readAbsolute(offset, buffer, good);
    if (n < 0) return n;
    // Finished bytes that lie past the end of the image file are zeros
    // written as a hole.
    if (static_cast<size_t>(n) < good) std::memset(static_cast<uint8_t*>(buffer) + n, 0, good - static_cast<size_t>(n));
    return static_cast<long long>(good);
}

uint64_t MappedReader::unreadableSectors(uint64_t offset, uint64_t size) const {
    uint64_t n = 0, next = 0;  // next: the first sector not counted yet
    for (const MapBlock& b : map_->blocksIn(offset, size)) {
        if (b.state == BlockState::Finished || b.size == 0) continue;
        uint64_t first = b.pos / 512;
        const uint64_t last = (b.end() - 1) / 512;
        if (first < next) first = next;
        if (first <= last) n += last - first + 1;
        next = last + 1;
    }
    return n;
}

std::shared_ptr<MappedReader> openMappedImage(std::shared_ptr<readWriteInterface> image, const std::string& mapPath,
                                              std::string* why) {
    std::vector<uint8_t> bytes;
    if (int e = platform::readWholeFile(mapPath, kMaxMapBytes, bytes)) {
        if (why) *why = "cannot read the map " + mapPath + ": " + (e == EFBIG ? "too large for a map" : std::strerror(e));
        return nullptr;
    }
    MapError err;
    auto map = RescueMap::parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), &err);
    if (!map) {
        if (why) *why = "the map " + mapPath + " is refused: " + err.message();
        return nullptr;
    }
    // The image holds every finished byte: finished blocks must lie within it.
    const uint64_t imageSize = image->sizeBytes();
    if (map->extent() > imageSize) {
        for (const MapBlock& b : map->blocks()) {
            if (b.state != BlockState::Finished || b.end() <= imageSize) continue;
            if (why)
                *why = "the map " + mapPath + " is refused: " +
                       MapError{map->lineOf(b.pos), "it marks bytes finished up to " + std::to_string(b.end()) +
                                                        ", past the end of the image (" + std::to_string(imageSize) +
                                                        " bytes)"}
                           .message();
            return nullptr;
        }
    }
    return std::make_shared<MappedReader>(std::move(image), std::move(*map), mapPath);
}

const MappedReader* mappedReaderOf(const readWriteInterface* reader) {
    return dynamic_cast<const MappedReader*>(reader);
}

}  // namespace brantlow
