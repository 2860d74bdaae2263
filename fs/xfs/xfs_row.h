// XFS's row of the file-system table.
#pragma once

#include "fs/api/filesystem_row.h"

namespace brantlow {

FileSystemRow xfsRow();

}  // namespace brantlow
