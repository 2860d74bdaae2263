// The extension a file's first bytes suggest, by the start signatures of
// the carving types: names files that a parser recovers without a name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace brantlow {

// "jpg", "pdf", ... or empty when no type's start signature matches.
std::string guessExtensionFromBytes(const uint8_t* head, size_t n);

}  // namespace brantlow
