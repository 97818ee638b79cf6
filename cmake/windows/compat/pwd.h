// <pwd.h> for the Windows build: the user's home is the profile folder.
#pragma once

struct passwd {
    char* pw_name;
    char* pw_dir;
};

#ifdef __cplusplus
extern "C" {
#endif
struct passwd* getpwuid(unsigned int uid);
#ifdef __cplusplus
}
#endif
