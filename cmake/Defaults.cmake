# Common compile settings for every target of the project.
include_guard(GLOBAL)

option(LUMIVEX_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(LUMIVEX_SANITIZE_THREAD "Build with ThreadSanitizer (the libraries and their tests; not the application)" OFF)
option(LUMIVEX_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
option(LUMIVEX_BENCH "Build the benchmarks" ON)

find_program(CCACHE_PROGRAM ccache)
if(CCACHE_PROGRAM)
    # The tests' precompiled header is only cached with these two sloppinesses.
    set(CMAKE_CXX_COMPILER_LAUNCHER env CCACHE_SLOPPINESS=pch_defines,time_macros "${CCACHE_PROGRAM}")
    set(CMAKE_C_COMPILER_LAUNCHER "${CCACHE_PROGRAM}")
endif()

# lld links the large test programs (most of all the sanitized ones) in a fraction of the system
# linker's time.
find_program(LLD_PROGRAM ld.lld)
if(LLD_PROGRAM)
    add_link_options(-fuse-ld=lld)
endif()

add_library(lumivex_options INTERFACE)
target_compile_features(lumivex_options INTERFACE cxx_std_20)
target_compile_options(lumivex_options INTERFACE -Wall -Wextra)
target_include_directories(lumivex_options INTERFACE ${PROJECT_SOURCE_DIR})
# The sanitizers in use, told to the code by macros both compilers define alike.
if(LUMIVEX_SANITIZE OR LUMIVEX_FUZZ)
    target_compile_options(lumivex_options INTERFACE -fsanitize=address,undefined -fno-omit-frame-pointer
                                                     -fno-sanitize-recover=undefined)
    target_compile_definitions(lumivex_options INTERFACE LUMIVEX_ADDRESS_SANITIZER=1)
    target_link_options(lumivex_options INTERFACE -fsanitize=address,undefined)
endif()
if(LUMIVEX_SANITIZE_THREAD)
    if(LUMIVEX_SANITIZE OR LUMIVEX_FUZZ)
        message(FATAL_ERROR "ThreadSanitizer does not combine with AddressSanitizer: build it in a folder of its own")
    endif()
    target_compile_options(lumivex_options INTERFACE -fsanitize=thread -fno-omit-frame-pointer)
    target_compile_definitions(lumivex_options INTERFACE LUMIVEX_THREAD_SANITIZER=1)
    target_link_options(lumivex_options INTERFACE -fsanitize=thread)
endif()
if(LUMIVEX_FUZZ)
    target_compile_options(lumivex_options INTERFACE -fsanitize=fuzzer-no-link)
endif()

# lumivex_library(NAME SOURCES... [DEPENDS ...])
function(lumivex_library name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS;PRIVATE_DEPENDS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_link_libraries(${name} PUBLIC lumivex_options ${ARG_DEPENDS} PRIVATE ${ARG_PRIVATE_DEPENDS})
endfunction()

# Test code is built for its checks, not its speed: the tests wait on processes, sockets and servers far
# more than on their own code, and optimizing it would cost a third of its compile time. Every test
# source is position-independent and sees _REENTRANT (-pthread), as those of Qt and of the libraries
# whose flags define it do, so that they can all share one precompiled header.
function(lumivex_test_code target)
    target_compile_options(${target} PRIVATE -O0 -fPIC -pthread)
endfunction()

# The headers every test parses (GoogleTest, GoogleMock and the standard library's most used), compiled
# once for all of them. The compiler takes a precompiled header only where the optimization, the debug
# information, the sanitizers, position independence and the command line's macros are the same.
function(lumivex_test_headers target)
    if(NOT TARGET lumivex_test_pch)
        add_library(lumivex_test_pch OBJECT ${PROJECT_SOURCE_DIR}/cmake/TestHeaders.cpp)
        target_link_libraries(lumivex_test_pch PRIVATE lumivex_options GTest::gmock)
        lumivex_test_code(lumivex_test_pch)
        target_precompile_headers(lumivex_test_pch PRIVATE
            <algorithm> <array> <atomic> <chrono> <cstdint> <cstring> <deque> <filesystem> <functional>
            <future> <map> <memory> <mutex> <optional> <set> <string> <string_view> <thread> <utility>
            <variant> <vector> <gmock/gmock.h> <gtest/gtest.h>)
    endif()
    target_precompile_headers(${target} REUSE_FROM lumivex_test_pch)
endfunction()

# lumivex_test(NAME LABEL SOURCES... DEPENDS ...): one GoogleTest executable; each test becomes a CTest test.
function(lumivex_test name label)
    cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPENDS" ${ARGN})
    if(NOT BUILD_TESTING)
        return()
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE lumivex_options ${ARG_DEPENDS} GTest::gmock GTest::gtest_main)
    lumivex_test_code(${name})
    lumivex_test_headers(${name})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 120)
    endif()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
                         PROPERTIES LABELS ${label} TIMEOUT ${ARG_TIMEOUT})
endfunction()

# lumivex_fuzzer(NAME SOURCE DEPENDS ...)
function(lumivex_fuzzer name source)
    cmake_parse_arguments(ARG "" "" "DEPENDS" ${ARGN})
    if(NOT LUMIVEX_FUZZ)
        return()
    endif()
    add_executable(${name} ${source})
    target_link_libraries(${name} PRIVATE lumivex_options ${ARG_DEPENDS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    add_dependencies(fuzzers ${name})
endfunction()

# lumivex_benchmark(NAME SOURCES... DEPENDS ...)
function(lumivex_benchmark name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPENDS" ${ARGN})
    if(NOT LUMIVEX_BENCH)
        return()
    endif()
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE lumivex_options ${ARG_DEPENDS} benchmark::benchmark)
endfunction()
