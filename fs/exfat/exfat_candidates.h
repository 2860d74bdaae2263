// exFAT's matcher for the search for earlier file systems.
#pragma once

#include <memory>

#include "fs/api/candidates.h"

namespace brantlow {

std::unique_ptr<CandidateMatcher> makeExfatCandidateMatcher();

}  // namespace brantlow
