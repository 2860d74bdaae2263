// Drive and volume enumeration over fixture text of /sys/block and
// /proc/self/mountinfo, and the single-instance lock.
#include <gtest/gtest.h>

#include "fs/filesystems.h"
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "platform/enumerate.h"
#include "tests/support/fixtures.h"

using namespace brantlow::platform;

namespace {

// A desktop with an SSD (sda: mounted /boot/efi vfat, / ext4), an NVMe disk
// holding NTFS through ntfs-3g, a USB stick, bind mounts and pseudo file
// systems; a mount point with a blank in its name.
const char* kMountInfo =
    "22 28 0:20 / /sys rw,nosuid,nodev,noexec,relatime shared:7 - sysfs sysfs rw\n"
    "23 28 0:21 / /proc rw,nosuid,nodev,noexec,relatime shared:13 - proc proc rw\n"
    "28 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw,errors=remount-ro\n"
    "31 28 8:1 / /boot/efi rw,relatime shared:31 - vfat /dev/sda1 rw,fmask=0077,dmask=0077\n"
    "40 28 259:3 / /mnt/win\\040data rw,relatime shared:40 - fuseblk /dev/nvme0n1p3 rw,user_id=0\n"
    "41 28 8:2 /srv /srv rw,relatime shared:1 - ext4 /dev/sda2 rw\n"
    "42 28 0:45 / /run/user/1000 rw,nosuid,nodev - tmpfs tmpfs rw,size=1638400k\n"
    "43 28 8:17 / /media/usb rw,nosuid,nodev,relatime shared:50 master:1 - exfat /dev/disk/by-label/STICK rw\n"
    "garbage line\n"
    "44 28 7:0 / /snap/core/1 ro - squashfs /dev/loop0 ro\n";

}  // namespace

TEST(Enumerate, MountInfoKeepsBlockDeviceMountsAndDecodesNames) {
    auto m = parseMountInfo(kMountInfo);
    ASSERT_EQ(m.size(), 6u);
    EXPECT_EQ(m[0].mountPoint, "/");
    EXPECT_EQ(m[0].fsType, "ext4");
    EXPECT_EQ(m[0].source, "/dev/sda2");
    EXPECT_EQ(m[2].mountPoint, "/mnt/win data");
    EXPECT_EQ(m[2].fsType, "fuseblk");
    // Optional fields ("master:1") before the separator are skipped.
    EXPECT_EQ(m[4].fsType, "exfat");
    EXPECT_EQ(m[4].source, "/dev/disk/by-label/STICK");
}

TEST(Enumerate, VolumesProbedOnePerDeviceInDescendingOrder) {
    // What probing the devices finds; the NVMe NTFS is found by its boot
    // sector although ntfs-3g mounts it as "fuseblk"; sda1 is a FAT32 volume.
    std::map<std::string, DeviceProbe> dev = {
        {"/dev/sda2", {true, 500107862016ull, "extX"}},
        {"/dev/sda1", {true, 536870912ull, "FAT32"}},
        {"/dev/nvme0n1p3", {true, 1000000000000ull, "NTFS"}},
        {"/dev/sdb1", {true, 64ull << 20, ""}},  // not recognised: the mount type is used
        // /dev/loop0 does not open: left out
    };
    auto probe = [&](const std::string& p) {
        auto it = dev.find(p);
        return it == dev.end() ? DeviceProbe{} : it->second;
    };
    auto resolve = [](const std::string& p) {
        return p == "/dev/disk/by-label/STICK" ? std::string("/dev/sdb1") : p;
    };
    auto v = volumesFromMounts(parseMountInfo(kMountInfo), probe, resolve, brantlow::fileSystemForMountType);
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(v[0].rootPath, "/mnt/win data");
    EXPECT_EQ(v[0].fileSystem, "NTFS");
    EXPECT_EQ(v[1].rootPath, "/media/usb");
    EXPECT_EQ(v[1].fileSystem, "exFAT");
    EXPECT_EQ(v[1].devicePath, "/dev/sdb1");
    EXPECT_EQ(v[2].rootPath, "/boot/efi");
    EXPECT_EQ(v[2].fileSystem, "FAT32");
    EXPECT_EQ(v[3].rootPath, "/");  // /srv is the same device: listed once
    EXPECT_EQ(v[3].sizeText, "476940  MB");
    EXPECT_EQ(v[3].sizeBytes, 500107862016ull);
}

TEST(Enumerate, MountTypeNames) {
    using brantlow::fileSystemForMountType;
    EXPECT_EQ(fileSystemForMountType("ntfs3"), "NTFS");
    EXPECT_EQ(fileSystemForMountType("ext4"), "extX");
    EXPECT_EQ(fileSystemForMountType("ext2"), "extX");
    EXPECT_EQ(fileSystemForMountType("hfsplus"), "HFS+");
    EXPECT_EQ(fileSystemForMountType("exfat"), "exFAT");
    EXPECT_EQ(fileSystemForMountType("vfat"), "FAT");
    EXPECT_EQ(fileSystemForMountType("btrfs"), "btrfs");
    EXPECT_EQ(volumeSizeText(0), "0  MB");
    EXPECT_EQ(volumeSizeText((1ull << 20) - 1), "0  MB");
}

TEST(Enumerate, SysBlockEntries) {
    auto a = driveFromSysBlock("sda", "976773168\n", "ATA     \n", "Samsung SSD 860                         \n");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->devicePath, "/dev/sda");
    EXPECT_EQ(a->label, "ATA Samsung SSD 860");
    EXPECT_EQ(a->sizeBytes, 976773168ull * 512);
    auto n = driveFromSysBlock("nvme0n1", "2000409264\n", "", "WDC WDS100T2B0C\n");
    ASSERT_TRUE(n);
    EXPECT_EQ(n->itemText(), "WDC WDS100T2B0C");
    auto bare = driveFromSysBlock("vda", "2048\n", "", "");
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->itemText(), "/dev/vda");
    EXPECT_FALSE(driveFromSysBlock("loop7", "0\n", "", ""));  // unused loop device
    EXPECT_FALSE(driveFromSysBlock("ram0", "8192\n", "", ""));
    EXPECT_FALSE(driveFromSysBlock("zram0", "8192\n", "", ""));
    EXPECT_FALSE(driveFromSysBlock("sdc", "", "", ""));
    EXPECT_FALSE(driveFromSysBlock("sdc", "12x\n", "", ""));
    EXPECT_FALSE(driveFromSysBlock("sdc", "99999999999999999999999\n", "", ""));
}

TEST(Enumerate, ListDrivesReadsATreeAndDoesNotStopAtAGap) {
    brantlow::test::TempDir t;
    namespace fs = std::filesystem;
    auto put = [&](const std::string& rel, const std::string& text) {
        fs::path p = fs::path(t.path()) / rel;
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text;
    };
    put("sda/size", "1000\n");
    put("sda/device/model", "Disk A\n");
    put("sdb/size", "0\n");  // an empty card reader between two disks
    put("sdc/size", "2000\n");
    put("loop0/size", "4096\n");
    put("loop0/loop/backing_file", "/home/me/disk.img\n");
    put("loop1/size", "0\n");
    auto d = listDrives(t.path());
    ASSERT_EQ(d.size(), 3u);
    EXPECT_EQ(d[0].itemText(), "/dev/loop0 (/home/me/disk.img)");
    EXPECT_EQ(d[1].itemText(), "Disk A");
    EXPECT_EQ(d[2].itemText(), "/dev/sdc");
}

TEST(Enumerate, InstanceLockRefusesASecondProcess) {
    brantlow::test::TempDir t;
    const std::string path = t.path() + "/brantlow.lock";
    int fd = acquireInstanceLock(path);
    ASSERT_GE(fd, 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) _exit(acquireInstanceLock(path) == -1 ? 0 : 1);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ::close(fd);  // released: the next start gets it
    int again = acquireInstanceLock(path);
    EXPECT_GE(again, 0);
    ::close(again);
}

TEST(Enumerate, InstanceLockIsNotTakenThroughALink) {
    brantlow::test::TempDir t;
    const std::string target = t.path() + "/elsewhere";
    std::ofstream(target) << "x";
    const std::string link = t.path() + "/brantlow.lock";
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    EXPECT_EQ(acquireInstanceLock(link), -2);
}
