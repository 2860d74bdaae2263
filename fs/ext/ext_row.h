// ext2/3/4's row of the file-system table.
#pragma once

#include "fs/api/filesystem_row.h"

namespace brantlow {

FileSystemRow extRow();

}  // namespace brantlow
