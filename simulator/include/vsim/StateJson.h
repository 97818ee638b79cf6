// The handset's state and record as JSON, for `vandrel-sim --state-out` and for people to read.
#pragma once

#include <string>

#include "vsim/SimTypes.h"

namespace vsim {

std::string StateToJson(const SHandsetSnapshot& snapshot);
// Writes the JSON to path through a temporary file and a rename, so a reader never sees half a
// file. False with a reason in error on failure.
bool WriteStateFile(const SHandsetSnapshot& snapshot, const std::string& path, std::string* error = nullptr);

} // namespace vsim
