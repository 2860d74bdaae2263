// FAT's row of the file-system table (FAT12, FAT16, FAT32).
#pragma once

#include "fs/api/filesystem_row.h"

namespace brantlow {

FileSystemRow fatRow();

}  // namespace brantlow
