// What the HFS+ parser's files share (not part of its interface).
#pragma once

namespace brantlow::hfs {

inline constexpr const char* kAbortText = "Work Aborted....";
inline constexpr const char* kBlockSizeText = "BlockSize not valid .Aborting..";

}  // namespace brantlow::hfs
