# zv_component(NAME <lib> [DEPS <libs...>] [LIBS <external libs...>]
#              [TEST_LIBS <libs...>])
#
# Builds the folder it is called from as one static library: every *.cc in the
# folder except *_test.cc and the fuzz/ folder. Every *_test.cc in the folder
# becomes part of one GoogleTest executable <lib>_tests registered with ctest.
# Every fuzz/*_fuzz.cc becomes a libFuzzer target when ZV_FUZZ is on.
# The folder's testing/ code (test doubles, fixtures, shared test helpers) is
# the test-support library <lib>_testing, linked by <lib>_tests and by the
# fuzz targets; another component's tests use it by naming it in TEST_LIBS
# (e.g. TEST_LIBS zv_platform_testing). It is a static library when testing/
# holds .cc files and an interface library (headers only) otherwise; either
# way it carries <lib> itself, its own TEST_LIBS and GoogleTest.
# In a sanitizer build (ZV_SANITIZE) only the *_concurrent_test.cc files are
# built, collected in the target zv_sanitize_tests.
# Library sources, like test files, are compiled a few at a time in one unit
# (ZV_UNITY_BATCH). A file whose file-local names (constants, helpers in an
# anonymous namespace) clash with another file's of the same library is named
# in zv_unity_skip(<lib> <files...>) after the call and compiles alone.
# New files are picked up without editing any CMakeLists.txt.

# How many files are compiled together (0 = all of a component, 1 = none).
set(ZV_TEST_UNITY_BATCH 8 CACHE STRING "Test files per unity compile unit")
set(ZV_UNITY_BATCH 8 CACHE STRING "Library sources per unity compile unit")

set(ZV_WARNINGS -Wall -Wextra -Werror -Wno-unused-parameter)

function(zv_apply_flags target)
  target_compile_options(${target} PRIVATE ${ZV_WARNINGS})
  if(ZV_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=${ZV_SANITIZE} -fno-omit-frame-pointer)
    target_link_options(${target} PRIVATE -fsanitize=${ZV_SANITIZE})
  endif()
  if(ZV_FUZZ)
    target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  endif()
endfunction()

function(zv_component name)
  cmake_parse_arguments(ARG "" "" "DEPS;LIBS;TEST_LIBS" ${ARGN})
  file(GLOB_RECURSE all_sources CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/*.cc)
  set(lib_sources "")
  set(test_sources "")
  set(fuzz_sources "")
  set(testing_sources "")
  foreach(src IN LISTS all_sources)
    file(RELATIVE_PATH rel ${CMAKE_CURRENT_SOURCE_DIR} ${src})
    if(rel MATCHES "(^|/)fuzz/")
      list(APPEND fuzz_sources ${src})
    elseif(rel MATCHES "(^|/)testing/")
      list(APPEND testing_sources ${src})
    elseif(rel MATCHES "_test\\.cc$")
      list(APPEND test_sources ${src})
    else()
      list(APPEND lib_sources ${src})
    endif()
  endforeach()

  if(lib_sources)
    add_library(${name} STATIC ${lib_sources})
    set(scope PUBLIC)
  else()
    add_library(${name} INTERFACE)
    set(scope INTERFACE)
  endif()
  target_include_directories(${name} ${scope} ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} ${scope} ${ARG_DEPS} ${ARG_LIBS})
  if(lib_sources)
    zv_apply_flags(${name})
    # Most of a library's compile time goes to the headers its files share;
    # compiling them in batches parses those once per batch.
    set_target_properties(${name} PROPERTIES UNITY_BUILD ON
                          UNITY_BUILD_BATCH_SIZE ${ZV_UNITY_BATCH})
  endif()

  # The test-support library. Its targets are built only when a test, fuzz
  # target or benchmark links them.
  if(testing_sources)
    add_library(${name}_testing STATIC EXCLUDE_FROM_ALL ${testing_sources})
    set(tscope PUBLIC)
    zv_apply_flags(${name}_testing)
  else()
    add_library(${name}_testing INTERFACE)
    set(tscope INTERFACE)
  endif()
  target_link_libraries(${name}_testing ${tscope} ${name} ${ARG_TEST_LIBS})
  if(TARGET GTest::gtest)
    target_link_libraries(${name}_testing ${tscope} GTest::gtest GTest::gmock)
  endif()

  if(ZV_SANITIZE)
    # The sanitizer build runs the concurrency tests only.
    list(FILTER test_sources INCLUDE REGEX "_concurrent_test\\.cc$")
  endif()
  if(ZV_BUILD_TESTS AND test_sources AND NOT ZV_FUZZ)
    add_executable(${name}_tests ${test_sources})
    target_link_libraries(${name}_tests PRIVATE ${name} ${name}_testing ${ARG_TEST_LIBS}
                          GTest::gtest GTest::gtest_main GTest::gmock)
    zv_apply_flags(${name}_tests)
    # The test files of a component share most of their headers and template
    # instantiations: compiling them a few at a time in one unit roughly
    # halves the build's CPU time, which bounds CI on a two-core machine.
    set_target_properties(${name}_tests PROPERTIES UNITY_BUILD ON
                          UNITY_BUILD_BATCH_SIZE ${ZV_TEST_UNITY_BATCH})
    # Crash tests carry their own child-process scaffolding (environment
    # switches, static initialisers that run the child); they compile alone.
    foreach(src IN LISTS test_sources)
      if(src MATCHES "_crash_test\\.cc$")
        set_source_files_properties(${src} TARGET_DIRECTORY ${name}_tests
                                    PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
      endif()
    endforeach()
    add_test(NAME ${name} COMMAND ${name}_tests)
    set_tests_properties(${name} PROPERTIES TIMEOUT 900)
    set_property(GLOBAL APPEND PROPERTY ZV_SANITIZE_TARGETS ${name}_tests)
  endif()

  if(ZV_FUZZ AND fuzz_sources)
    foreach(src IN LISTS fuzz_sources)
      get_filename_component(fname ${src} NAME_WE)
      add_executable(${fname} ${src})
      target_link_libraries(${fname} PRIVATE ${name} ${name}_testing)
      zv_apply_flags(${fname})
      target_link_options(${fname} PRIVATE -fsanitize=fuzzer,address,undefined)
      set_property(GLOBAL APPEND PROPERTY ZV_FUZZ_TARGETS ${fname})
    endforeach()
  endif()
endfunction()

# zv_unity_skip(<lib> <files...>): the library's sources (paths relative to the
# calling folder) that compile alone rather than in a unity batch, because a
# file-local name of theirs clashes with one of another file of the library.
function(zv_unity_skip name)
  foreach(rel IN LISTS ARGN)
    set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/${rel} TARGET_DIRECTORY ${name}
                                PROPERTIES SKIP_UNITY_BUILD_INCLUSION ON)
  endforeach()
endfunction()
