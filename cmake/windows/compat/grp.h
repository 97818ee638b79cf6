// <grp.h> for the Windows build: devices belong to no group there.
#pragma once

struct group {
    char* gr_name;
};

#ifdef __cplusplus
extern "C" {
#endif
struct group* getgrgid(unsigned int gid);
#ifdef __cplusplus
}
#endif
