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

}  // namespace gui
}  // namespace brantlow
