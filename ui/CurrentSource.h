// The wizard's one current source: the drive or image the operator chose,
// opened read-only, and its size in 512-byte sectors. Pages hand it to the
// engine, which only ever uses the reader it is given.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "base/sinks.h"
#include "disk/probe.h"
#include "disk/reader.h"

namespace brantlow {

extern std::shared_ptr<readWriteInterface> g_deviceReader;
extern std::atomic<uint64_t> g_totalSectors;

namespace gui {

// Opens path as the current source (a new reader: a device, a raw or split
// raw image, or an image container) and sets the sector count. On failure
// shows "invalid handle ..." (or why an image cannot be read) through boxes
// and leaves a reader that is not open (its openError() says why), with a
// count of 0. probes (the volume probes the wizard was given) help tell the
// source's logical sector size.
bool openCurrentSource(const std::string& path, MessageSink& boxes, const ProbeTable& probes);
// Forgets the current source.
void closeCurrentSource();
// The path (or set name) the current source was opened from ("" when none).
std::string currentSourcePath();

// The GNU ddrescue map an image is read through when it becomes the current
// source (sectors the map does not mark finished read as unreadable); an
// empty map path forgets it.
void setSourceMap(const std::string& imagePath, const std::string& mapPath);
std::string sourceMapOf(const std::string& imagePath);
// A set put together from several drives or images (a RAID set, a volume
// group over disks): registered under a name that openCurrentSource then
// opens like a drive's path. The name is not a path ("assembled:1").
std::string registerAssembledSource(std::shared_ptr<readWriteInterface> reader);

}  // namespace gui
}  // namespace brantlow
