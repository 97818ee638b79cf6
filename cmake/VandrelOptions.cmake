# Warnings, sanitizers and other build-wide settings.

option(VANDREL_WERROR "Treat compiler warnings as errors" OFF)
option(VANDREL_WITH_GUI "Build the Qt 6 desktop program and its widgets" ON)
set(VANDREL_SANITIZE "" CACHE STRING "Sanitizers to build with: empty, 'address,undefined' or 'thread'")

add_library(vandrel_warnings INTERFACE)
target_compile_options(vandrel_warnings INTERFACE -Wall -Wextra -Wpedantic)
if(VANDREL_WERROR)
    target_compile_options(vandrel_warnings INTERFACE -Werror)
endif()

if(VANDREL_SANITIZE)
    add_compile_options(-fsanitize=${VANDREL_SANITIZE} -fno-omit-frame-pointer -g)
    add_link_options(-fsanitize=${VANDREL_SANITIZE})
    if(VANDREL_SANITIZE MATCHES "undefined")
        add_compile_options(-fno-sanitize-recover=undefined)
    endif()
endif()

# vandrel_add_gtest(NAME name SOURCES ... LIBS ... LABELS ... [TIMEOUT s] [WRAPPER program])
# One GoogleTest executable registered with ctest as a single test carrying the labels; with a
# wrapper, ctest runs the test through it (umockdev-wrapper for the emulated USB bus).
function(vandrel_add_gtest)
    cmake_parse_arguments(T "" "NAME;TIMEOUT;WRAPPER" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main vandrel_warnings)
    if(T_WRAPPER)
        add_test(NAME ${T_NAME} COMMAND ${T_WRAPPER} $<TARGET_FILE:${T_NAME}>)
        if(VANDREL_SANITIZE MATCHES "address")
            # the wrapper's LD_PRELOAD comes before the ASan runtime in the library list
            set_property(TEST ${T_NAME} APPEND PROPERTY ENVIRONMENT "ASAN_OPTIONS=verify_asan_link_order=0")
        endif()
    else()
        add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    endif()
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 300)
    endif()
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
endfunction()
