#include "fake_parser.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <unordered_set>

#include "base/texts.h"

namespace brantlow::test {

FakeParser::FakeParser() = default;

EntryId FakeParser::add(EntryId parent, const std::string& name, EntryKind kind, EntryState state,
                        const std::string& content) {
    Entry e;
    e.name = name;
    e.kind = kind;
    e.state = state;
    e.content = content;
    e.parent = parent;
    e.mtime = 1500000000 + static_cast<int64_t>(entries.size()) * 3600;
    EntryId id = entries.size();
    entries.push_back(e);
    if (parent == kRootId) {
        rootChildren.push_back(id);
        return id;
    }
    EntryId* link = &entries[parent].firstChild;
    while (*link != kNone) link = &entries[*link].nextSibling;
    *link = id;
    return id;
}

EntryId FakeParser::find(const std::string& path) const {
    EntryId cur = kRootId;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        std::string part = path.substr(i, j == std::string::npos ? std::string::npos : j - i);
        EntryId next = kNone;
        for (EntryId c : children(cur))
            if (entries[c].name == part) next = c;
        if (next == kNone) return kNone;
        cur = next;
        if (j == std::string::npos) break;
        i = j + 1;
    }
    return cur;
}

ScanOutcome FakeParser::scan(ScanContext& ctx) {
    volume = ctx.volume;
    ctx.status("fake scan is going on....");
    ctx.range(static_cast<int64_t>(entries.size()));
    found = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (stopRequested.load(std::memory_order_relaxed)) break;
        ctx.wait();
        char sector[512];
        ctx.volume.read((i % 64) * 512, sector, sizeof sector);
        if (stepDelayUs) std::this_thread::sleep_for(std::chrono::microseconds(stepDelayUs));
        ctx.position(static_cast<int64_t>(i + 1));
        found = i + 1;
        ++steps;
    }
    return ScanOutcome::Done;
}

std::vector<EntryId> FakeParser::children(EntryId folder) const {
    std::vector<EntryId> out;
    size_t limit = found.load();
    if (folder == kRootId) {
        for (EntryId c : rootChildren)
            if (c < limit) out.push_back(c);
    } else if (folder < entries.size()) {
        std::unordered_set<EntryId> seen;
        for (EntryId c = entries[folder].firstChild; c < entries.size() && seen.insert(c).second;
             c = entries[c].nextSibling)
            if (c < limit) out.push_back(c);
    }
    if (repeatChildren && !out.empty()) {
        // What a careless parser might hand out: repeats and the folder itself.
        std::vector<EntryId> twice = out;
        twice.insert(twice.end(), out.begin(), out.end());
        if (folder != kRootId) twice.push_back(folder);
        if (folder != kRootId && entries[folder].parent != kRootId) twice.push_back(entries[folder].parent);
        return twice;
    }
    return out;
}

bool FakeParser::readEntry(EntryId id, EntryInfo& out) const {
    if (id >= entries.size() || id >= found.load()) return false;
    const Entry& e = entries[id];
    out = EntryInfo{};
    out.name = e.name;
    out.kind = e.kind;
    out.state = e.state;
    out.size = e.content.size();
    out.modified = FileTime{e.mtime, 0};
    out.accessed = FileTime{e.mtime + 60, 0};
    out.created = FileTime{e.mtime - 60, 0};
    out.attributes = e.state == EntryState::Deleted ? "-A" : "";
    out.hasChildren = e.firstChild != kNone;
    return true;
}

ListTexts FakeParser::listTexts(EntryId id) const {
    ++const_cast<FakeParser*>(this)->textCalls;
    ListTexts t;
    EntryInfo info;
    if (!entryInfo(id, info)) return t;
    auto date = [](const OptTime& ft) {
        auto f = ft ? utcFields(ft->sec) : std::nullopt;
        return f ? formatDateText(*f) : std::string();
    };
    t.created = date(info.created);
    t.accessed = date(info.accessed);
    t.modified = date(info.modified);
    t.size = formatSizeText(info.size);
    t.attributes = info.attributes;
    return t;
}

WriteResult FakeParser::writeContent(EntryId id, ContentSink& out) {
    if (id >= entries.size()) return WriteResult::failed("no such entry");
    if (writeDelayMs) std::this_thread::sleep_for(std::chrono::milliseconds(writeDelayMs));
    const std::string& c = entries[id].content;
    for (EntryId f : failing)
        if (f == id) return WriteResult::failed("read error");
    for (EntryId p : partial)
        if (p == id)
            return out.write(c.data(), c.size() / 2) ? WriteResult::partial("only half of it is backed")
                                                     : WriteResult::failed("write");
    return out.write(c.data(), c.size()) ? WriteResult::complete() : WriteResult::failed("write");
}

void buildSampleTree(FakeParser& p) {
    using K = EntryKind;
    using S = EntryState;
    EntryId docs = p.add(kRootId, "docs", K::Folder);
    p.add(docs, "a.txt", K::File, S::Live, "alpha\n");
    p.add(docs, "b.txt", K::File, S::Live, "bravo bravo\n");
    p.add(docs, "old.txt", K::File, S::Deleted, "was deleted\n");
    EntryId sub = p.add(docs, "sub", K::Folder);
    p.add(sub, "c.txt", K::File, S::Live, "charlie\n");
    EntryId pics = p.add(kRootId, "pics", K::Folder);
    p.add(pics, "p1.jpg", K::File, S::Live, std::string(3000, 'J'));
    p.add(pics, "p2.png", K::File, S::Deleted, std::string(2048, 'P'));
    p.add(pics, "notes.txt", K::File, S::Live, "notes\n");
    EntryId big = p.add(kRootId, "big", K::Folder);
    for (int i = 0; i < 1000; ++i) p.add(big, "f" + std::to_string(1000 + i) + ".dat", K::File, S::Live, "x");
    EntryId loop = p.add(kRootId, "loop", K::Folder);
    EntryId x = p.add(loop, "x.txt", K::File, S::Live, "x");
    EntryId y = p.add(loop, "y.txt", K::File, S::Live, "y");
    p.entries[y].nextSibling = x;  // a sibling cycle
    p.add(kRootId, "gone.txt", K::File, S::Deleted, "gone\n");
    p.add(kRootId, "top.bin", K::File, S::Live, std::string(5000, '\1'));
}

}  // namespace brantlow::test
