// Whole disks and mounted volumes of the running system, for the first page.
// The parsing is done by pure functions over the text of /sys/block and
// /proc/self/mountinfo so that it is tested without the real files. Nothing
// here opens anything for writing.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace brantlow::platform {

// One whole disk under /sys/block.
struct DriveInfo {
    std::string name;        // "sda", "nvme0n1", "loop3"
    std::string devicePath;  // "/dev/sda"
    std::string label;       // vendor and model, trimmed; may be empty
    uint64_t sizeBytes = 0;
    // Text of the tree item: the label when there is one, else the device path.
    std::string itemText() const { return label.empty() ? devicePath : label; }
};

// The text of /sys/block/<name>/{size,device/vendor,device/model,loop/backing_file}
// (empty strings for files that do not exist). nullopt when the entry is not
// a disk worth listing: ram and zram devices, anything of size 0 (an unused
// loop device, an empty card reader or optical drive).
std::optional<DriveInfo> driveFromSysBlock(const std::string& name, const std::string& sizeText,
                                           const std::string& vendorText, const std::string& modelText);

// Every disk under root ("/sys/block"), sorted by name. A device that cannot
// be described is left out; the list does not stop at it.
std::vector<DriveInfo> listDrives(const std::string& root = "/sys/block");

// One line of /proc/self/mountinfo.
struct MountInfo {
    std::string mountPoint;  // octal escapes (\040 for a blank) decoded
    std::string fsType;      // the kernel's type name, as mountinfo gives it
    std::string source;      // "/dev/sda1"
};

// The block-device mounts of a mountinfo text (source starting with "/dev/"),
// in the order given; malformed lines are skipped.
std::vector<MountInfo> parseMountInfo(const std::string& text);

// "%d  MB" (two blanks) of bytes >> 20.
std::string volumeSizeText(uint64_t bytes);

// A mounted volume as the first page lists it.
struct MountedVolume {
    std::string fileSystem;
    std::string rootPath;    // mount point
    std::string devicePath;  // source device, links resolved
    std::string sizeText;    // "%d  MB"
    uint64_t sizeBytes = 0;
};

// What the volume list needs to know about a device: whether it opened
// (read-only), its size, and the file system found by probing ("" when none).
struct DeviceProbe {
    bool opened = false;
    uint64_t sizeBytes = 0;
    std::string fileSystem;
};
using DeviceProber = std::function<DeviceProbe(const std::string& devicePath)>;
using PathResolver = std::function<std::string(const std::string& path)>;
// The program's name for a Linux mount type ("ntfs3", "vfat"…), used when
// probing the device does not recognise the file system.
using MountTypeNamer = std::function<std::string(const std::string& fsType)>;

// Turns the mounts into volumes: one per device (the first mount point
// seen), resolved through `resolve`, left out when the device does not open,
// named by probing, else through `nameType` (else by the mount type itself).
// The result is in descending order of mount point, the order the page shows.
std::vector<MountedVolume> volumesFromMounts(const std::vector<MountInfo>& mounts, const DeviceProber& probe,
                                             const PathResolver& resolve, const MountTypeNamer& nameType = {});

// Reads a whole small text file ("" when it cannot be read).
std::string readTextFile(const std::string& path);
// realpath(), or the path itself when it cannot be resolved.
std::string resolvePath(const std::string& path);

// Single instance: takes an exclusive flock on the lock file at path
// (created world-readable when missing, never through a symbolic link).
// Returns the descriptor that holds the lock (kept open for the life of the
// process; the lock goes with it, even on a crash), -1 when another process
// holds it, -2 when the file cannot be opened at all.
int acquireInstanceLock(const std::string& path);
// /run/lock/brantlow.lock when /run/lock is usable, else
// $XDG_RUNTIME_DIR/brantlow.lock, else /tmp/brantlow.lock.
std::string defaultInstanceLockPath();

// True when the device opens for reading; errnoOut gets the error otherwise.
bool canOpenForReading(const std::string& path, int* errnoOut = nullptr);

}  // namespace brantlow::platform
