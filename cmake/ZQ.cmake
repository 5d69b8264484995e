# Project-wide build helpers: warnings, sanitizers, tests, fuzz targets, benchmarks.

if(ZQ_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

if(ZQ_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    message(FATAL_ERROR "ZQ_FUZZ needs clang (configure with CXX=clang++)")
  endif()
  # Coverage instrumentation everywhere, so a fuzz target sees into the libraries it links.
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()

# Warnings in project code (third-party headers are included as system headers). They are
# errors with ZQ_WARNINGS_AS_ERRORS, as the team builds (scripts/test); a user's build with
# another compiler or optimisation level only reports them.
function(zq_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor
                         -Wcast-align -Wunused -Woverloaded-virtual -Wimplicit-fallthrough)
  if(ZQ_WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# zq_library(NAME [STATIC|SHARED] SOURCES ... [PUBLIC_LIBS ...] [PRIVATE_LIBS ...])
function(zq_library name)
  cmake_parse_arguments(A "SHARED;STATIC" "" "SOURCES;PUBLIC_LIBS;PRIVATE_LIBS" ${ARGN})
  if(A_SHARED)
    add_library(${name} SHARED ${A_SOURCES})
  else()
    add_library(${name} STATIC ${A_SOURCES})
  endif()
  zq_warnings(${name})
  target_include_directories(${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${A_PUBLIC_LIBS} PRIVATE ${A_PRIVATE_LIBS})
endfunction()

# zq_test(NAME SOURCES ... [LIBS ...] [LABEL unit|integration|gui|interop] [TIMEOUT s])
# One GoogleTest executable, registered with CTest under its label.
function(zq_test name)
  if(NOT ZQ_TESTS)
    return()
  endif()
  cmake_parse_arguments(A "" "LABEL;TIMEOUT" "SOURCES;LIBS;ENV" ${ARGN})
  if(NOT A_LABEL)
    set(A_LABEL unit)
  endif()
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  add_executable(${name} ${A_SOURCES})
  zq_warnings(${name})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${A_LIBS} GTest::gtest GTest::gtest_main)
  # Test helpers shared across modules: #include "support/...".
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(${name} PRIVATE ZQ_SOURCE_DIR="${CMAKE_SOURCE_DIR}"
                             ZQ_BINARY_DIR="${CMAKE_BINARY_DIR}")
  add_test(NAME ${name} COMMAND ${name})
  set_tests_properties(${name} PROPERTIES LABELS ${A_LABEL} TIMEOUT ${A_TIMEOUT}
                       ENVIRONMENT "${A_ENV}")
endfunction()

# zq_fuzz(NAME SOURCES ... [LIBS ...] [CORPUS dir])
# A fuzz target defines LLVMFuzzerTestOneInput. With ZQ_FUZZ it links libFuzzer and
# scripts/test runs it for a bounded time; otherwise it links a driver that replays the
# seed corpus, and CTest runs that replay under the label "fuzz" either way.
function(zq_fuzz name)
  if(NOT ZQ_TESTS)
    return()
  endif()
  cmake_parse_arguments(A "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  zq_warnings(${name})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  target_link_libraries(${name} PRIVATE ${A_LIBS})
  if(ZQ_FUZZ)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  else()
    target_sources(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests/fuzz/replay_main.cpp)
  endif()
  if(NOT A_CORPUS)
    set(A_CORPUS ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${name})
  endif()
  set_property(GLOBAL APPEND PROPERTY ZQ_FUZZ_TARGETS "${name}=${A_CORPUS}")
  if(ZQ_FUZZ)
    add_test(NAME ${name} COMMAND ${name} -runs=0 ${A_CORPUS})
  else()
    add_test(NAME ${name} COMMAND ${name} ${A_CORPUS})
  endif()
  set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT 300)
endfunction()

# zq_bench(NAME SOURCES ... [LIBS ...]): built by the default build, run by hand.
function(zq_bench name)
  if(NOT ZQ_BENCH)
    return()
  endif()
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${A_SOURCES})
  zq_warnings(${name})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
  target_link_libraries(${name} PRIVATE ${A_LIBS})
endfunction()
