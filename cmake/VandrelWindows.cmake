# The Windows build: cross-built with mingw-w64 (cmake/toolchain-mingw64.cmake), tested under wine.
#
# Linux-only folders: the virtual handset (pseudo-terminals, Unix sockets, inotify) and the sound
# player (ALSA). The desktop program needs Qt, which is off here.
set(VANDREL_LINUX_ONLY_DIRS simulator platform/sound)
if(VANDREL_WITH_GUI)
    message(WARNING "No Qt for Windows here: building without the desktop program")
    set(VANDREL_WITH_GUI OFF)
endif()

# Windows 10 API level (virtual terminal sequences, CancelIoEx); UNICODE is not defined, every
# call that takes a name uses the W form explicitly.
add_compile_definitions(_WIN32_WINNT=0x0A00 WINVER=0x0A00 NOMINMAX WIN32_LEAN_AND_MEAN)

# GoogleTest built from Debian's sources (libgtest-dev ships them) with the cross compiler.
set(VANDREL_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the Windows build")
if(NOT EXISTS ${VANDREL_GTEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "GoogleTest sources not found in ${VANDREL_GTEST_SOURCE} (Debian: libgtest-dev)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${VANDREL_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
foreach(lib gtest gtest_main gmock gmock_main)
    if(NOT TARGET GTest::${lib})
        add_library(GTest::${lib} ALIAS ${lib})
    endif()
endforeach()

# nlohmann-json (Debian's nlohmann-json3-dev) is header-only and the same for every target, but its
# package points at /usr/include, whose C headers must not reach the cross compiler: its own
# folder is copied into the build tree and made the nlohmann_json::nlohmann_json target.
find_path(VANDREL_NLOHMANN_JSON_INCLUDE nlohmann/json.hpp PATHS /usr/include NO_DEFAULT_PATH
    NO_CMAKE_FIND_ROOT_PATH)
if(NOT VANDREL_NLOHMANN_JSON_INCLUDE)
    message(FATAL_ERROR "nlohmann/json.hpp not found in /usr/include (Debian: nlohmann-json3-dev)")
endif()
file(COPY ${VANDREL_NLOHMANN_JSON_INCLUDE}/nlohmann DESTINATION ${CMAKE_BINARY_DIR}/third-party/include)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${CMAKE_BINARY_DIR}/third-party/include)

# The production line's libraries, cross-built from Debian's source packages by
# scripts/build-windows-deps into VANDREL_WINDOWS_DEPS: SQLite (static), libpq (libpq.dll, without
# TLS), toml++ and cpp-httplib (both header-only). Same target names as the Linux build's
# pkg-config ones.
set(VANDREL_WINDOWS_DEPS ${CMAKE_BINARY_DIR}/deps CACHE PATH
    "The line's libraries for Windows (scripts/build-windows-deps)")
foreach(stamp tomlplusplus/include/toml++/toml.h sqlite/lib/libsqlite3.a libpq/bin/libpq.dll
        httplib/include/httplib.h)
    if(NOT EXISTS ${VANDREL_WINDOWS_DEPS}/${stamp})
        message(FATAL_ERROR "${VANDREL_WINDOWS_DEPS}/${stamp} is missing: run scripts/build-windows-deps")
    endif()
endforeach()
add_library(PkgConfig::TOMLPP INTERFACE IMPORTED GLOBAL)
set_target_properties(PkgConfig::TOMLPP PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${VANDREL_WINDOWS_DEPS}/tomlplusplus/include)
add_library(PkgConfig::SQLITE3 STATIC IMPORTED GLOBAL)
set_target_properties(PkgConfig::SQLITE3 PROPERTIES
    IMPORTED_LOCATION ${VANDREL_WINDOWS_DEPS}/sqlite/lib/libsqlite3.a
    INTERFACE_INCLUDE_DIRECTORIES ${VANDREL_WINDOWS_DEPS}/sqlite/include)
add_library(PkgConfig::LIBPQ SHARED IMPORTED GLOBAL)
set_target_properties(PkgConfig::LIBPQ PROPERTIES
    IMPORTED_LOCATION ${VANDREL_WINDOWS_DEPS}/libpq/bin/libpq.dll
    IMPORTED_IMPLIB ${VANDREL_WINDOWS_DEPS}/libpq/lib/libpq.dll.a
    INTERFACE_INCLUDE_DIRECTORIES ${VANDREL_WINDOWS_DEPS}/libpq/include)
# cpp-httplib as one header (Debian's libcpp-httplib-dev is a Linux shared library), without
# OpenSSL: TLS is a reverse proxy's there. Winsock is its socket layer.
add_library(PkgConfig::HTTPLIB INTERFACE IMPORTED GLOBAL)
set_target_properties(PkgConfig::HTTPLIB PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${VANDREL_WINDOWS_DEPS}/httplib/include
    INTERFACE_LINK_LIBRARIES ws2_32)
# libpq.dll beside the programs that load it (bin/, below), and in the packages
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
file(COPY ${VANDREL_WINDOWS_DEPS}/libpq/bin/libpq.dll DESTINATION ${CMAKE_BINARY_DIR}/bin)

# The programs take their file names and texts in UTF-8: a manifest sets the process code page to
# UTF-8 (Windows 10 1903 and later, and wine), so the C runtime's narrow file calls, the command
# line and getenv all speak UTF-8 like the rest of the code. vandrel_windows_program(<target>)
# adds it, with the console-friendly settings, to a program.
set(VANDREL_WINDOWS_DIR ${CMAKE_CURRENT_LIST_DIR}/windows)
function(vandrel_windows_program target)
    target_sources(${target} PRIVATE ${VANDREL_WINDOWS_DIR}/utf8-manifest.rc)
    set_property(SOURCE ${VANDREL_WINDOWS_DIR}/utf8-manifest.rc APPEND PROPERTY OBJECT_DEPENDS
        ${VANDREL_WINDOWS_DIR}/utf8.manifest)
endfunction()

# What differs between the systems lives in one source file per system, chosen in each folder's
# CMakeLists.txt; nothing is force-included. One C-library spelling is switched on: the C runtime's
# own localtime_r and gmtime_r (over localtime_s and gmtime_s, in its <time.h>).
add_compile_definitions(_POSIX_THREAD_SAFE_FUNCTIONS=200112L)
# GCC 12's libstdc++ trips its own -Wrestrict in std::string for this target (a false positive).
add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Wno-restrict>)

# Programs and DLLs side by side in bin/, as Windows finds a program's DLLs beside it.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
