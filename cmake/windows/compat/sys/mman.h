// <sys/mman.h> for the Windows build: a read-only private "mapping" of a whole file, read into
// memory (what the version block reader needs).
#pragma once

#include <stddef.h>

#define PROT_READ 1
#define MAP_PRIVATE 2
#define MAP_FAILED ((void*)-1)

#ifdef __cplusplus
extern "C" {
#endif
void* mmap(void* address, size_t length, int protection, int flags, int fd, long long offset);
int munmap(void* address, size_t length);
#ifdef __cplusplus
}
#endif
