// Small helpers the ext parser's files share (not part of its interface).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "fs/ext/ext_format.h"

namespace brantlow::ext {

// A status text with two numbers ("parsing group %d  of %d ").
inline std::string fmt(const char* f, long long a, long long b) {
    char buf[128];
    std::snprintf(buf, sizeof buf, f, a, b);
    return buf;
}

// Directory-entry file type against the inode's type.
inline bool typeMatches(uint8_t fileType, uint16_t type) {
    switch (fileType) {
        case 1: return type == kTypeFile;
        case 2: return type == kTypeDir;
        case 3: return type == kTypeChar;
        case 4: return type == kTypeBlock;
        case 5: return type == kTypeFifo;
        case 6: return type == kTypeSocket;
        case 7: return type == kTypeLink;
        default: return true;
    }
}

// Types whose blocks hold content worth bringing back.
inline bool contentType(uint16_t type) { return type == kTypeFile || type == kTypeDir || type == kTypeLink; }

// The inode at p (the superblock's inode size, never below 128), or an
// empty one.
inline Inode inodeAt(const uint8_t* p, size_t len) {
    Decoded<Inode> d = decodeInode(p, len);
    return d ? std::move(*d) : Inode{};
}

}  // namespace brantlow::ext
