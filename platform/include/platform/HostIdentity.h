// Who and where: this computer's name, the user this process runs as and that user's home folder,
// as each system keeps them (HostIdentityPosix.cpp, HostIdentityWin.cpp).
#pragma once

#include <string>

namespace platform {

// The computer's name ("localhost" when the system gives none).
std::string HostName();
// The user this process runs as (the account's name, not a display name); empty when unknown.
std::string UserName();
// The user's home folder (POSIX: HOME, else the account's; Windows: the profile folder).
std::string HomeFolder();

} // namespace platform
