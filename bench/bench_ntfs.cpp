// NTFS benchmark driver, run by bench/ntfs.sh under /usr/bin/time.
//   bench_ntfs list IMG              scan and print every path (like fls -r -p)
//   bench_ntfs stats IMG             scan time, records, memory per record
//   bench_ntfs recover-deleted IMG OUT   write every deleted and orphaned file
//                                        with its folders and times
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <set>
#include <string>

#include "disk/reader.h"
#include "base/names.h"
#include "fs/ntfs/ntfs.h"
#include "scan/save.h"
#include "scan/tree_walk.h"

using namespace brantlow;

namespace {

std::unique_ptr<ntfs> scanImage(const std::string& path) {
    auto reader = std::make_shared<FileReadSeek>();
    if (!reader->Open(path)) {
        std::cerr << "cannot open " << path << "\n";
        std::exit(2);
    }
    auto parser = std::make_unique<ntfs>();
    ScanContext ctx;
    ctx.volume = VolumeView(reader, 0, reader->sizeBytes());
    parser->scan(ctx);
    return parser;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: bench_ntfs list|stats|recover-deleted IMG [OUT]\n";
        return 1;
    }
    const std::string mode = argv[1];
    auto t0 = std::chrono::steady_clock::now();
    auto parser = scanImage(argv[2]);
    auto t1 = std::chrono::steady_clock::now();
    if (mode == "list") {
        std::string buf;
        buf.reserve(1 << 20);
        walkTree(*parser, kRootId, [&](const std::string& path, EntryId, const EntryInfo& info) {
            buf += stateName(info.state);
            buf += '\t';
            buf += path;
            buf += '\n';
            if (buf.size() > (1 << 20) - 4096) {
                std::fwrite(buf.data(), 1, buf.size(), stdout);
                buf.clear();
            }
            return true;
        });
        std::fwrite(buf.data(), 1, buf.size(), stdout);
        return 0;
    }
    if (mode == "stats") {
        uint64_t named = 0, deleted = 0, orphan = 0;
        walkTree(*parser, kRootId, [&](const std::string&, EntryId, const EntryInfo& info) {
            ++named;
            deleted += info.state == EntryState::Deleted;
            orphan += info.orphan;
            return true;
        });
        auto t2 = std::chrono::steady_clock::now();
        struct rusage ru {};
        getrusage(RUSAGE_SELF, &ru);
        const size_t records = parser->entries().size();
        std::printf("records %zu, listed %llu (deleted %llu, orphan %llu); scan %.3f s, walk %.3f s; "
                    "table %.1f bytes/record; peak RSS %ld KiB\n",
                    records, static_cast<unsigned long long>(named), static_cast<unsigned long long>(deleted),
                    static_cast<unsigned long long>(orphan), std::chrono::duration<double>(t1 - t0).count(),
                    std::chrono::duration<double>(t2 - t1).count(),
                    records ? static_cast<double>(parser->memoryBytes()) / records : 0.0, ru.ru_maxrss);
        return 0;
    }
    if (mode == "recover-deleted" && argc >= 4) {
        const std::string out = argv[3];
        ::mkdir(out.c_str(), 0777);
        SaveStats stats;
        std::set<std::string> made;
        walkTree(*parser, kRootId, [&](const std::string& path, EntryId id, const EntryInfo& info) {
            if (info.kind != EntryKind::File || info.state == EntryState::Live) return true;
            // The folders on the way, sanitised one by one.
            std::string dir = out;
            size_t start = 0;
            for (size_t slash; (slash = path.find('/', start)) != std::string::npos; start = slash + 1) {
                dir = joinPath(dir, sanitizeComponent(path.substr(start, slash - start)));
                if (made.insert(dir).second) ::mkdir(dir.c_str(), 0777);
            }
            saveOne(*parser, id, dir, stats);
            return true;
        });
        auto t2 = std::chrono::steady_clock::now();
        std::printf("recovered %llu deleted files (%llu failed, %llu bytes); scan %.3f s, write %.3f s\n",
                    static_cast<unsigned long long>(stats.written), static_cast<unsigned long long>(stats.failed),
                    static_cast<unsigned long long>(stats.bytes), std::chrono::duration<double>(t1 - t0).count(),
                    std::chrono::duration<double>(t2 - t1).count());
        return 0;
    }
    std::cerr << "unknown mode " << mode << "\n";
    return 1;
}
