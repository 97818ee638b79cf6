// The check a flash file passes before anything is sent to a handset.
#pragma once

#include <string>

// Checks a flash file before anything is sent: it is a regular file that opens, its kind is .m0
// or .cp64, the name rules of the file list hold for its full path (application files), its
// records read (readRecords) and its .cp64 can be written beside it. Empty when it is fine, else
// the reason naming the file (and the rule that refuses it).
std::string CheckFlashFile(const std::string& path, bool applicationFile, bool readRecords = true);
