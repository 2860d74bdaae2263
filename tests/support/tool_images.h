// Test helpers for images made and damaged at test time with real tools:
// quiet shell commands, whole-file reads and writes, byte patches, a
// parser's scan walked into a by-path map, the CLI's listing by path and
// written files by hash.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fs/api/parser.h"
#include "scan/tree_walk.h"

namespace brantlow::test {

// Runs cmd through the shell with its output thrown away; its status.
int sh(const std::string& cmd);
// Runs cmd through the shell; its stdout.
std::string capture(const std::string& cmd);

std::vector<uint8_t> readFile(const std::string& path);
// Writes data to path, making its folders; the path.
std::string writeFile(const std::string& path, const std::vector<uint8_t>& data);
std::vector<uint8_t> randomBytes(size_t n, uint32_t seed);
// Overwrites bytes of an image file in place.
void patch(const std::string& img, uint64_t off, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> readAt(const std::string& img, uint64_t off, size_t n);

// What a parser's scan of a volume gives: every path of its tree.
template <class Parser>
struct ScannedTree {
    std::unique_ptr<Parser> parser;
    ScanOutcome outcome = ScanOutcome::Rejected;
    std::map<std::string, EntryInfo> byPath;
    std::map<std::string, EntryId> ids;
    std::string damage;  // the parser's damage notes, one a line
};

template <class Parser>
ScannedTree<Parser> scanTree(std::shared_ptr<readWriteInterface> reader, uint64_t size,
                             ScanMode mode = ScanMode::Standard, MessageSink* messages = nullptr) {
    ScannedTree<Parser> s;
    s.parser = std::make_unique<Parser>();
    ScanContext ctx;
    ctx.volume = VolumeView(reader, 0, size);
    ctx.mode = mode;
    ctx.messages = messages;
    s.outcome = s.parser->scan(ctx);
    for (const DamageNote& d : s.parser->damage().notes()) s.damage += d.text() + "\n";
    if (s.outcome != ScanOutcome::Done) return s;
    walkTree(*s.parser, kRootId, [&](const std::string& path, EntryId id, const EntryInfo& info) {
        s.byPath[path] = info;
        s.ids[path] = id;
        return true;
    });
    return s;
}

// The rows of `brantlow-cli` with args (a `list ... --json`) by path; the
// status must be 0 and no path listed twice.
std::map<std::string, nlohmann::json> listByPath(const std::vector<std::string>& args);
// Every file below dir by its content's sha256.
std::map<std::string, std::vector<std::string>> filesByHash(const std::string& dir);

// Writes an MBR disk of diskMiB with one Linux partition (type 0x83) at
// sector 2048 of `sectors` sectors holding the volume image img.
bool mbrDiskWith(const std::string& disk, const std::string& img, uint64_t diskMiB, uint64_t sectors);

}  // namespace brantlow::test
