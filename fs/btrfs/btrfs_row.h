#pragma once

#include "fs/api/filesystem_row.h"

namespace brantlow {

FileSystemRow btrfsRow();

}  // namespace brantlow
