// <sys/socket.h> for the Windows build: no Unix sockets. socket() fails with ENOSYS, so code that
// probes for the virtual handset's USB socket finds none.
#pragma once

#define AF_UNIX 1
#define SOCK_SEQPACKET 5
#define SOCK_CLOEXEC 0

struct sockaddr {
    unsigned short sa_family;
    char sa_data[14];
};

#ifdef __cplusplus
extern "C" {
#endif
int socket(int domain, int type, int protocol);
int connect(int fd, const struct sockaddr* address, unsigned int length);
#ifdef __cplusplus
}
#endif
