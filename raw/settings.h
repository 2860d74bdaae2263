// Signature definitions: the 171-byte settings record, its encoding, the
// editor's text parsing and the settings-file loaders.
//
// Record layout (little-endian, no header; a file is records back to back):
//   0   8  extension, first 4 UTF-16 units      8   2  terminator (0)
//   10  1  extension length as typed           11  10  start signature
//   21  10 end signature                       31   1  start length
//   32  1  end length (0 = none)               33   1  index of the record
//   34  4  size offset (signed, -1 = none)     38   4  size length (signed)
//   42  4  header size (signed)                46   1  size includes header
//   47  4  bytes after the end signature (unsigned; 0 in older files)
//   51  8  approximate size (signed)           59   8  skip size (signed)
//   67 100 category, UTF-16, zero-terminated  167   4  flags (0 in older files):
//      bit 0: the start signature also occurs inside the file (ZIP local
//      headers): while a start waits for its end, further starts of the
//      type are taken as part of that file; bit 1: a start that fails its
//      format's check is no find; bit 2: the type is recognised by its
//      content, not by its signature (plain text: a sector that opens with
//      text where no other type's signature matches)
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace brantlow::raw {

constexpr size_t kRecordBytes = 171;
constexpr size_t kSignatureMax = 10;
constexpr size_t kExtensionUnits = 4;
constexpr size_t kCategoryUnits = 49;  // plus the terminator: 50 units, 100 bytes
// The loaders refuse a file whose last record lies beyond this position.
constexpr uint64_t kMaxLastRecordPos = 1048576;
// A record's index is one byte: a file holds at most 256 records.
constexpr size_t kMaxRecordsPerFile = 256;

// One settings record, as stored.
struct SettingsRecord {
    std::u16string extension;  // at most 4 units
    uint8_t extensionLength = 0;
    std::array<uint8_t, kSignatureMax> startSignature{};
    std::array<uint8_t, kSignatureMax> endSignature{};
    uint8_t startLength = 0;
    uint8_t endLength = 0;
    uint8_t index = 255;
    int32_t sizeOffset = -1;
    int32_t sizeLength = 0;
    int32_t headerSize = 0;
    uint8_t sizeIncludesHeader = 0;
    uint32_t bytesAfterEnd = 0;
    int64_t approximateSize = 0;
    int64_t skipSize = 0;
    std::u16string category;  // at most 49 units
    uint32_t flags = 0;
};

constexpr uint32_t kFlagStartRepeats = 1;
// Bit 1: a start whose format check fails is no find (signatures short or
// common enough to match inside other data: MPEG audio frames, fonts …).
constexpr uint32_t kFlagDropInvalid = 2;
// Bit 2: recognised by content (text) at sectors no signature claims; the
// start signature is not matched. Needs the type's end finder.
constexpr uint32_t kFlagByContent = 4;

// Writes the record's 171 bytes. Over-long texts are cut to the record's room.
std::array<uint8_t, kRecordBytes> encodeRecord(const SettingsRecord& r);
// Reads 171 bytes. Lengths are clamped to 10, texts stop at their terminator
// or at the record's room, whichever comes first.
SettingsRecord decodeRecord(const uint8_t* bytes);

// The editor's inputs, as typed.
struct EditorFields {
    std::string extension;
    std::string startSignature;  // "0x89,0x50, 4E,,47"
    std::string endSignature;
    std::string sizeOffset;
    std::string sizeLength;
    bool sizeIncludesHeader = false;
    std::string headerSize;
    std::string skipSize;
    std::string approximateSize;
    std::string bytesAfterEnd;
    std::string category;
    bool startRepeats = false;
    bool dropInvalid = false;
    bool byContent = false;
};

// Comma-separated hexadecimal bytes; empty pieces are skipped, "0x" is
// optional, a piece that is not a number gives 0, the low byte is kept.
std::vector<uint8_t> parseSignatureText(const std::string& text);
// Decimal as the editor reads it: leading blanks, an optional sign, digits;
// anything else gives 0.
int64_t parseDecimal(const std::string& text);

// Builds the record the editor's Save appends. On refusal returns false and
// sets message to the text to show.
bool buildRecord(const EditorFields& f, uint8_t index, SettingsRecord& out, std::string& message);

// The editor's Save: appends one record to the file at path. Returns the
// message to show ("everything initialized well....." on success).
struct AppendResult {
    bool ok = false;
    std::string message;
};
AppendResult appendRecord(const std::string& path, const EditorFields& f);

// Reads every record of a settings file. On refusal returns false and sets
// message ("can not open file", "not a valid file..") — message stays
// empty when the file could not be opened and quietMissing is set.
// operatorFile adds the checks the operator's files get (size length).
bool readSettingsFile(const std::string& path, bool operatorFile, std::vector<SettingsRecord>& out,
                      std::string& message, bool quietMissing = false);
// The same over bytes already in memory.
bool parseSettingsBytes(const uint8_t* data, size_t len, bool operatorFile, std::vector<SettingsRecord>& out,
                        std::string& message);

}  // namespace brantlow::raw
