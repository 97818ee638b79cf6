// Symbol visibility of libquillet. The library is built with hidden visibility; every public
// class and function carries QUILLET_API. On Windows, quillet.dll exports what carries it; users
// link the import library and reach the symbols through the linker's auto-import.
#pragma once

#if defined(_WIN32) && defined(QUILLET_BUILDING_DLL)
#define QUILLET_API __declspec(dllexport)
#elif defined(_WIN32)
#define QUILLET_API
#elif defined(__GNUC__) || defined(__clang__)
#define QUILLET_API __attribute__((visibility("default")))
#else
#define QUILLET_API
#endif
