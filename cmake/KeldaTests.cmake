# kelda_add_gtest(<program> [SHARDS n] [COST seconds] [TIMEOUT seconds] [ALONE test...]): the
# ctest entries of a GoogleTest program. A long program runs as n entries <program>_<i>of<n>, each
# taking every n-th of its tests (GoogleTest's own sharding: GTEST_TOTAL_SHARDS,
# GTEST_SHARD_INDEX), so that `ctest -j` runs them side by side instead of waiting for one long
# program. A test named in ALONE (Suite.Name, one that alone takes a large part of the program's
# time) is an entry of its own, <program>_<Suite.Name>, and the shards leave it out. Every test
# still runs exactly once (a name in ALONE that no longer exists leaves its entry empty and the
# test, whatever it is called now, in the shards); `ctest -R <program>` selects all the entries.
# Each entry runs in a working folder of its own: the files a test writes into its working folder
# (INI files, CSV, traces) never meet those of another entry running at the same time.
# COST is the program's time on one core in seconds: ctest starts the costliest entries first (on a
# fresh build tree it has no timing of an earlier run to go by), so that no long entry is left
# alone at the end of a run.
function(kelda_add_gtest target)
  cmake_parse_arguments(T "" "SHARDS;COST;TIMEOUT" "ALONE" ${ARGN})
  if(NOT T_SHARDS)
    set(T_SHARDS 1)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 600)
  endif()
  if(NOT T_COST)
    set(T_COST 0)
  endif()
  set(names "")
  set(excluded "")
  foreach(test ${T_ALONE})
    set(name ${target}_${test})
    set(folder ${CMAKE_CURRENT_BINARY_DIR}/${name})
    file(MAKE_DIRECTORY ${folder})
    add_test(NAME ${name} COMMAND ${target} --gtest_filter=${test} WORKING_DIRECTORY ${folder})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${KELDA_TEST_ENV}" COST ${T_COST})
    list(APPEND names ${name})
    string(APPEND excluded ":${test}")
  endforeach()
  set(filter "")
  if(excluded)
    string(SUBSTRING "${excluded}" 1 -1 excluded)
    set(filter "GTEST_FILTER=-${excluded}")
  endif()
  math(EXPR cost "${T_COST} / ${T_SHARDS}")
  if(T_SHARDS EQUAL 1 AND NOT T_ALONE)
    add_test(NAME ${target} COMMAND ${target})
    set_tests_properties(${target} PROPERTIES ENVIRONMENT "${KELDA_TEST_ENV}" COST ${cost})
    list(APPEND names ${target})
  else()
    math(EXPR last "${T_SHARDS} - 1")
    foreach(index RANGE ${last})
      math(EXPR number "${index} + 1")
      set(name ${target}_${number}of${T_SHARDS})
      set(folder ${CMAKE_CURRENT_BINARY_DIR}/${name})
      file(MAKE_DIRECTORY ${folder})
      add_test(NAME ${name} COMMAND ${target} WORKING_DIRECTORY ${folder})
      set_tests_properties(${name} PROPERTIES COST ${cost} ENVIRONMENT
                           "${KELDA_TEST_ENV};GTEST_TOTAL_SHARDS=${T_SHARDS};GTEST_SHARD_INDEX=${index};${filter}")
      list(APPEND names ${name})
    endforeach()
  endif()
  set_tests_properties(${names} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(CMAKE_CROSSCOMPILING_EMULATOR)
    set_tests_properties(${names} PROPERTIES FIXTURES_REQUIRED wine)
  endif()
endfunction()

# kelda_test_program(<program>): how a test program's own files are compiled. Without
# optimisation, which more than halves their compile time: they hold the cases, the fixtures and
# GoogleTest's templates, while the code under test comes from the libraries built as the flavor
# builds them (kelda_core, the simulator, the harness). And with GoogleTest's header compiled once
# per flavor and reused by every test program (the larger part of what each test file reads).
function(kelda_test_program target)
  if(NOT TARGET kelda_gtest_pch)
    set(source ${CMAKE_BINARY_DIR}/kelda_gtest_pch.cpp)
    file(WRITE ${source}.new "// The precompiled GoogleTest header's own unit.\n")
    file(COPY_FILE ${source}.new ${source} ONLY_IF_DIFFERENT)
    add_library(kelda_gtest_pch OBJECT ${source})
    target_link_libraries(kelda_gtest_pch PRIVATE GTest::gtest)
    target_compile_options(kelda_gtest_pch PRIVATE -O0)
    # Compiled as the test programs are (executables: position-independent as such), or the
    # compiler would refuse the header and read the text again in every file.
    set_target_properties(kelda_gtest_pch PROPERTIES POSITION_INDEPENDENT_CODE OFF)
    if(CMAKE_POSITION_INDEPENDENT_CODE)
      target_compile_options(kelda_gtest_pch PRIVATE ${CMAKE_CXX_COMPILE_OPTIONS_PIE})
    endif()
    target_precompile_headers(kelda_gtest_pch PRIVATE <gtest/gtest.h>)
  endif()
  target_compile_options(${target} PRIVATE -O0)
  target_precompile_headers(${target} REUSE_FROM kelda_gtest_pch)
endfunction()
