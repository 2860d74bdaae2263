// A small in-memory parser for the tests of the save, the search and the
// recycle-bin names: folders and files with their content, and any links a
// test wants (cycles included).
#pragma once

#include <map>
#include <string>
#include <vector>

#include "fs/api/parser.h"

namespace brantlow::test {

struct Node {
    std::string name;
    EntryKind kind;
    EntryState state;
    std::vector<EntryId> kids;
    std::string content;
};

class TreeParser : public VolumeParser {
public:
    std::map<EntryId, Node> nodes;
    std::vector<EntryId> root;

    EntryId add(EntryId parent, std::string name, EntryKind kind, EntryState state = EntryState::Live,
                std::string content = {}) {
        EntryId id = nodes.size();
        nodes[id] = {std::move(name), kind, state, {}, std::move(content)};
        (parent == kRootId ? root : nodes[parent].kids).push_back(id);
        return id;
    }
    ScanOutcome scan(ScanContext&) override { return ScanOutcome::Done; }
    std::vector<EntryId> children(EntryId f) const override {
        if (f == kRootId) return root;
        auto it = nodes.find(f);
        return it == nodes.end() ? std::vector<EntryId>{} : it->second.kids;
    }
    bool readEntry(EntryId id, EntryInfo& out) const override {
        auto it = nodes.find(id);
        if (it == nodes.end()) return false;
        out = {};
        out.name = it->second.name;
        out.kind = it->second.kind;
        out.state = it->second.state;
        out.size = it->second.content.size();
        out.modified = FileTime{1600000000, 0};
        out.accessed = FileTime{1600000100, 0};
        out.skipOnSave = out.name == "$BadClus";
        return true;
    }
    ListTexts listTexts(EntryId) const override { return {}; }
    WriteResult writeContent(EntryId id, ContentSink& out) override {
        const auto& c = nodes.at(id).content;
        return out.write(c.data(), c.size()) ? WriteResult::complete() : WriteResult::failed("write");
    }
};

}  // namespace brantlow::test
