#include "platform/enumerate.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>

namespace brantlow::platform {

namespace {

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return s.substr(b, e - b);
}

bool startsWith(const std::string& s, const char* p) { return s.rfind(p, 0) == 0; }

// mountinfo escapes blank, tab, newline and backslash as \ooo.
std::string unescapeOctal(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            const char a = s[i + 1], b = s[i + 2], c = s[i + 3];
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
                out += static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0'));
                i += 3;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

std::vector<std::string> splitBlanks(const std::string& line) {
    std::vector<std::string> f;
    std::istringstream in(line);
    std::string w;
    while (in >> w) f.push_back(w);
    return f;
}

}  // namespace

std::optional<DriveInfo> driveFromSysBlock(const std::string& name, const std::string& sizeText,
                                           const std::string& vendorText, const std::string& modelText) {
    if (name.empty() || name.find('/') != std::string::npos) return std::nullopt;
    if (startsWith(name, "ram") || startsWith(name, "zram")) return std::nullopt;
    const std::string s = trim(sizeText);
    if (s.empty() || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    errno = 0;
    unsigned long long sectors = std::strtoull(s.c_str(), nullptr, 10);
    if (errno == ERANGE || sectors == 0 || sectors > (UINT64_MAX >> 9)) return std::nullopt;
    DriveInfo d;
    d.name = name;
    d.devicePath = "/dev/" + name;
    d.sizeBytes = static_cast<uint64_t>(sectors) << 9;  // sysfs counts 512-byte units
    const std::string vendor = trim(vendorText), model = trim(modelText);
    if (!vendor.empty() && !model.empty() && !startsWith(model, vendor.c_str()))
        d.label = vendor + " " + model;
    else
        d.label = model.empty() ? vendor : model;
    return d;
}

std::string readTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    std::string s;
    char buf[4096];
    while (s.size() < (1u << 20) && in.read(buf, sizeof buf)) s.append(buf, static_cast<size_t>(in.gcount()));
    s.append(buf, static_cast<size_t>(in.gcount()));
    return s;
}

std::vector<DriveInfo> listDrives(const std::string& root) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(root.c_str())) {
        while (dirent* e = ::readdir(dir)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::vector<DriveInfo> out;
    for (const auto& n : names) {
        const std::string base = root + "/" + n;
        auto d = driveFromSysBlock(n, readTextFile(base + "/size"), readTextFile(base + "/device/vendor"),
                                   readTextFile(base + "/device/model"));
        if (!d) continue;
        if (d->label.empty()) {
            // A loop device says which file it shows.
            std::string backing = trim(readTextFile(base + "/loop/backing_file"));
            if (!backing.empty()) d->label = d->devicePath + " (" + backing + ")";
        }
        out.push_back(*d);
    }
    return out;
}

std::vector<MountInfo> parseMountInfo(const std::string& text) {
    std::vector<MountInfo> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        // id parent major:minor root mountpoint options [optional...] - fstype source superoptions
        auto f = splitBlanks(line);
        if (f.size() < 10) continue;
        size_t dash = 6;
        while (dash < f.size() && f[dash] != "-") ++dash;
        if (dash + 2 >= f.size()) continue;
        MountInfo m;
        m.mountPoint = unescapeOctal(f[4]);
        m.fsType = unescapeOctal(f[dash + 1]);
        m.source = unescapeOctal(f[dash + 2]);
        if (!startsWith(m.source, "/dev/")) continue;
        out.push_back(std::move(m));
    }
    return out;
}

std::string volumeSizeText(uint64_t bytes) {
    char buf[48];
    std::snprintf(buf, sizeof buf, "%llu  MB", static_cast<unsigned long long>(bytes >> 20));
    return buf;
}

std::vector<MountedVolume> volumesFromMounts(const std::vector<MountInfo>& mounts, const DeviceProber& probe,
                                             const PathResolver& resolve, const MountTypeNamer& nameType) {
    std::vector<MountedVolume> out;
    std::set<std::string> seen;
    for (const auto& m : mounts) {
        std::string dev = resolve ? resolve(m.source) : m.source;
        if (!seen.insert(dev).second) continue;
        DeviceProbe p = probe ? probe(dev) : DeviceProbe{};
        if (!p.opened) continue;  // listed only when the device can be read
        MountedVolume v;
        v.fileSystem = !p.fileSystem.empty() ? p.fileSystem : nameType ? nameType(m.fsType) : m.fsType;
        v.rootPath = m.mountPoint;
        v.devicePath = dev;
        v.sizeBytes = p.sizeBytes;
        v.sizeText = volumeSizeText(p.sizeBytes);
        out.push_back(std::move(v));
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const MountedVolume& a, const MountedVolume& b) { return a.rootPath > b.rootPath; });
    return out;
}

std::string resolvePath(const std::string& path) {
    char buf[PATH_MAX];
    if (::realpath(path.c_str(), buf)) return buf;
    return path;
}

int acquireInstanceLock(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) return -2;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -2;
    }
    if (st.st_uid == ::geteuid()) ::fchmod(fd, 0644);  // every login may open it to test the lock
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        const int err = errno;
        ::close(fd);
        return err == EWOULDBLOCK ? -1 : -2;
    }
    return fd;
}

std::string defaultInstanceLockPath() {
    struct stat st {};
    if (::stat("/run/lock", &st) == 0 && S_ISDIR(st.st_mode) && ::access("/run/lock", W_OK | X_OK) == 0)
        return "/run/lock/brantlow.lock";
    if (const char* x = std::getenv("XDG_RUNTIME_DIR"); x && *x) return std::string(x) + "/brantlow.lock";
    return "/tmp/brantlow.lock";
}

bool canOpenForReading(const std::string& path, int* errnoOut) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errnoOut) *errnoOut = errno;
        return false;
    }
    ::close(fd);
    return true;
}

}  // namespace brantlow::platform
