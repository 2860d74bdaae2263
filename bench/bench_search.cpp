// Name search over 1,000,000 entries held by an in-memory parser (1,000
// folders of 1,000 files): time per pattern kind, and the rows found.
//   build/bench/bench_search [FOLDERS] [FILES_PER_FOLDER]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "scan/search.h"

using namespace brantlow;

namespace {

// Ids: folders 0..F-1, files F + f * N + i.
class FlatParser : public VolumeParser {
public:
    FlatParser(uint64_t folders, uint64_t files) : folders_(folders), files_(files) {}
    ScanOutcome scan(ScanContext&) override { return ScanOutcome::Done; }
    std::vector<EntryId> children(EntryId folder) const override {
        std::vector<EntryId> out;
        if (folder == kRootId) {
            for (uint64_t f = 0; f < folders_; ++f) out.push_back(f);
        } else if (folder < folders_) {
            for (uint64_t i = 0; i < files_; ++i) out.push_back(folders_ + folder * files_ + i);
        }
        return out;
    }
    ListTexts listTexts(EntryId) const override { return {}; }
    WriteResult writeContent(EntryId, ContentSink&) override { return WriteResult::complete(); }

protected:
    bool readEntry(EntryId id, EntryInfo& out) const override {
        out = EntryInfo{};
        if (id < folders_) {
            out.name = "folder " + std::to_string(id);
            out.kind = EntryKind::Folder;
            out.hasChildren = true;
            return true;
        }
        const uint64_t k = id - folders_;
        static const char* kExt[] = {".jpg", ".txt", ".docx", ".png", ".mp4"};
        out.name = "IMG_" + std::to_string(k) + kExt[k % 5];
        out.kind = EntryKind::File;
        out.size = k * 37 % 5000000;
        out.state = k % 3 ? EntryState::Live : EntryState::Deleted;
        out.modified = FileTime{1600000000 + static_cast<int64_t>(k), 0};
        return true;
    }

private:
    uint64_t folders_, files_;
};

}  // namespace

int main(int argc, char** argv) {
    const uint64_t folders = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000;
    const uint64_t files = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000;
    FlatParser p(folders, files);
    struct Case {
        const char* what;
        SearchFilter f;
    };
    std::vector<Case> cases(5);
    cases[0] = {"plain text \"txt\"", {}};
    cases[0].f.pattern = "txt";
    cases[1] = {"alternatives \"jpg|png\"", {}};
    cases[1].f.pattern = "jpg|png";
    cases[2] = {"expression \"^IMG_1[0-9]*\\.jpg$\"", {}};
    cases[2].f.pattern = "^IMG_1[0-9]*\\.jpg$";
    cases[3] = {"filters: deleted, 1-2 MB, .docx", {}};
    cases[3].f.deletedOnly = true;
    cases[3].f.minSize = 1000000;
    cases[3].f.maxSize = 2000000;
    cases[3].f.extensions = {"docx"};
    cases[4] = {"wildcards \"img_1*.JPG\"", {}};
    cases[4].f.pattern = "img_1*.JPG";
    std::printf("%llu entries\n", static_cast<unsigned long long>(folders * files + folders));
    for (const Case& c : cases) {
        uint64_t hits = 0;
        auto t0 = std::chrono::steady_clock::now();
        searchNames(p, c.f, [&](const SearchHit&) { ++hits; });
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        std::printf("%-40s %8.3f s  %8llu found\n", c.what, s, static_cast<unsigned long long>(hits));
    }
    return 0;
}
