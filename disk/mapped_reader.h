// An image read through the map of the run that made it: bytes the map
// does not mark finished read as unreadable, as the bad sectors of the disk
// would, so parsers treat them as damage and never take the zeros an
// unfinished image holds there for data.
#pragma once

#include <algorithm>
#include <memory>
#include <string>

#include "disk/reader.h"
#include "disk/rescue_map.h"

namespace brantlow {

class MappedReader : public readWriteInterface {
public:
    MappedReader(std::shared_ptr<readWriteInterface> image, RescueMap map, std::string mapPath = {});
    // A map that changes as an imaging run goes on: the caller keeps reads
    // and changes apart.
    MappedReader(std::shared_ptr<readWriteInterface> image, std::shared_ptr<const RescueMap> map);
    bool Open(const std::string&) override { return false; }  // made by openMappedImage
    // A read that reaches an unfinished byte returns the bytes before it
    // (a short read), or -1 when the first byte is unfinished.
    long long readAbsolute(uint64_t offset, void* buffer, size_t count) override;
    // The source's size as the map records it (or the image's, if larger).
    uint64_t sizeBytes() const override { return std::max(map_->extent(), image_->sizeBytes()); }
    void adviseSequential() override { image_->adviseSequential(); }

    const RescueMap& map() const { return *map_; }
    const std::string& mapPath() const { return mapPath_; }
    // 512-byte sectors of [offset, offset + size) that hold an unfinished byte.
    uint64_t unreadableSectors(uint64_t offset, uint64_t size) const;

private:
    std::shared_ptr<readWriteInterface> image_;
    std::shared_ptr<const RescueMap> map_;
    std::string mapPath_;
};

// Reads the map file at mapPath for an opened image. nullptr with *why set
// when the map cannot be read or is not a ddrescue map ("line N: ..."), or
// marks bytes finished past the end of the image.
std::shared_ptr<MappedReader> openMappedImage(std::shared_ptr<readWriteInterface> image, const std::string& mapPath,
                                              std::string* why);

// The map of a reader opened through one (nullptr for other readers).
const MappedReader* mappedReaderOf(const readWriteInterface* reader);

}  // namespace brantlow
