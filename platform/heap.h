// How the process's heap takes memory from the kernel. A listing builds
// tables of tens of megabytes in one go; taken page by page, every 4 KiB
// page costs a fault of its own, which on a virtual machine is most of the
// time a small listing takes. Called once, first thing in main.
#pragma once

namespace brantlow::platform {

// Grows the heap in 64 MiB steps kept rather than handed back at once, and
// asks for 2 MiB pages for its first 24 MiB where the kernel offers them
// (transparent huge pages in "madvise" or "always" mode). Nothing changes
// where the kernel or the C library does not allow it.
void prepareHeapForLargeTables();

}  // namespace brantlow::platform
