// One imaging run as the front ends start it: the refusals (an image on
// the source, a map in use or not a map), the source, the image file, the
// map read or made and locked, the rescuer, and the texts of its progress.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "imaging/rescue.h"

namespace brantlow::imaging {

struct ImagingRequest {
    std::string source, image, map;
    RescueOptions options;
    std::string commandLine;  // for the map's heading
};

// Why a run cannot start.
enum class ImagingRefusal {
    None,
    Usage,        // the image or map would overwrite the source, or is the same file
    Source,       // the source cannot be opened
    Destination,  // the image cannot be opened for writing
    MapInUse,     // another run holds the map
    MapRefused,   // the map is not a ddrescue map, or does not fit the source
};

class ImagingSession {
public:
    ImagingSession() = default;
    ~ImagingSession();
    ImagingSession(const ImagingSession&) = delete;
    ImagingSession& operator=(const ImagingSession&) = delete;

    // Opens the source, locks and reads the map (a new one when the file
    // does not exist or is empty), opens the image. False with *why.
    bool open(const ImagingRequest& request, std::string* why, ImagingRefusal* kind);

    Rescuer& rescuer() { return *rescuer_; }
    readWriteInterface& source() { return *source_; }
    // The map as the run changes it (read it only between calls of the rescuer).
    std::shared_ptr<const RescueMap> map() const { return map_; }
    const ImagingRequest& request() const { return request_; }
    uint64_t sourceSize() const { return map_ ? map_->extent() : 0; }

    // What a run's end means, for the operator.
    std::string endText(const RescueResult& r) const;

private:
    ImagingRequest request_;
    std::shared_ptr<ImagingSource> source_;
    std::shared_ptr<RescueMap> map_;
    ImageFile image_;
    std::unique_ptr<Rescuer> rescuer_;
    int lockFd_ = -1;
    std::string started_;
};

// "1.50 GiB" style sizes for progress lines.
std::string bytesText(uint64_t bytes);
// "rescued 1.50 GiB of 2.00 GiB (75.0%), 3 errors (1.50 KiB), 120 MiB/s,
// last good read 0 s ago, 00:00:05 left, copying pass 1".
std::string statusText(const RescueStatus& s);
// The time of day as the map's heading writes it ("2024-05-01 12:00:00").
std::string mapTimeNow();

}  // namespace brantlow::imaging
