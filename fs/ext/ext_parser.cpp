// The ext scan: the phases in order, each over the structure it reads.
#include "fs/ext/ext_parser.h"

#include <chrono>

namespace brantlow {

std::string ext2Class::rejectMessage() const { return "Selected Drive is not in extX Format"; }

bool ext2Class::stopped() {
    if (ctx_) ctx_->wait();
    return stopRequested.load(std::memory_order_relaxed);
}

void ext2Class::status(const std::string& s) const {
    if (ctx_) ctx_->status(s);
}

ScanOutcome ext2Class::scan(ScanContext& ctx) {
    ctx_ = &ctx;
    volume_ = ctx.volume;
    guess_ = ctx.options.guessExtension;
    entries_.clear();
    versions_.clear();
    versionBytes_.clear();
    versionOf_.clear();
    otherGenerationSeq_.clear();
    folderOldSeq_.clear();
    oldFolderNames_.clear();
    noInodeNames_.clear();
    earlierVersionOf_.clear();
    earlierNames_.clear();
    dotParent_.clear();
    copiesSeen_.clear();
    names_.clear();
    blockBitmaps_.clear();
    allocation_.reset();
    damage_.clear();
    if (!findSuperblock()) {
        stopRequested.store(false);
        ctx_ = nullptr;
        return ScanOutcome::Rejected;
    }
    stopRequested.store(false);
    if (!readGroupDescriptors()) {
        ctx_ = nullptr;
        return ScanOutcome::Rejected;
    }
    phaseSeconds_.clear();
    auto t = std::chrono::steady_clock::now();
    auto lap = [&](const char* name) {
        auto now = std::chrono::steady_clock::now();
        phaseSeconds_.emplace_back(name, std::chrono::duration<double>(now - t).count());
        t = now;
    };
    parseGroups();
    lap("inodes");
    stopRequested.store(false);
    readJournal();
    lap("journal");
    stopRequested.store(false);
    recoverFromJournal();
    lap("journal inodes");
    stopRequested.store(false);
    parseDirectories();
    lap("directories");
    stopRequested.store(false);
    buildEntryMap();
    lap("entries");
    linkParentChild();
    fillRootEntries();
    lap("links");
    names_.shrink_to_fit();
    ctx_ = nullptr;
    return ScanOutcome::Done;
}

void ext2Class::noteMapFault(uint32_t inode, const ext::MapResult& m) {
    if (!m.damaged) return;
    const std::string what = m.fault.empty() ? "block map damaged" : m.fault;
    if (m.faultBlock)
        note("block map of inode " + std::to_string(inode), m.faultBlock * sb_.blockSize, what);
    else
        note("inode " + std::to_string(inode), inodeOffset(inode), what);
}

size_t ext2Class::memoryBytes() const {
    size_t v = 0;
    v += versions_.capacity() * sizeof(ExtInodeVersion) + versionBytes_.capacity();
    return entries_.capacity() * sizeof(ExtEntry) + names_.capacity() + v +
           journal_.copies().capacity() * sizeof(ext::JournalCopy);
}

}  // namespace brantlow
