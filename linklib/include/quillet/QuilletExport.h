// Symbol visibility of libquillet. The library is built with hidden visibility; every public
// class and function carries QUILLET_API.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
#define QUILLET_API __attribute__((visibility("default")))
#else
#define QUILLET_API
#endif
