# Test registration. Every test folder calls ostrel_tests() once:
#
#   ostrel_tests(<name> LIBS <libs...>)
#
# Files of the folder are sorted by their name's ending:
#   *_test.cpp              -> executable <name>
#   *_concurrency_test.cpp  -> executable <name>_concurrency, CTest label "concurrency"
#                              (also run under ThreadSanitizer by scripts/test)
#   *_slow_test.cpp         -> executable <name>_slow, CTest label "slow"
# Every case is registered as its own CTest test named Suite.Case.
include(GoogleTest)
find_package(GTest REQUIRED)

function(_ostrel_test_exe exe label)
  set(srcs ${ARGN})
  if(NOT srcs)
    return()
  endif()
  add_executable(${exe} ${srcs})
  target_compile_options(${exe} PRIVATE ${OSTREL_WARNINGS})
  target_link_libraries(${exe} PRIVATE ${_OSTREL_TEST_LIBS} ostrel_test_support GTest::gmock GTest::gtest_main)
  if(TARGET ostrel_localsvc)
    add_dependencies(${exe} ostrel_localsvc)
  endif()
  if(label STREQUAL "concurrency")
    set_property(GLOBAL APPEND PROPERTY OSTREL_CONCURRENCY_TESTS ${exe})
  endif()
  set(props "")
  if(label)
    set(props LABELS ${label})
  endif()
  gtest_discover_tests(${exe}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    NO_PRETTY_VALUES
    PROPERTIES ${props} ENVIRONMENT "OSTREL_TEST_TMP=${CMAKE_BINARY_DIR}/testtmp"
  )
endfunction()

function(ostrel_tests name)
  cmake_parse_arguments(A "" "" "LIBS" ${ARGN})
  file(GLOB all CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp)
  set(plain "")
  set(conc "")
  set(slow "")
  foreach(f IN LISTS all)
    if(f MATCHES "_concurrency_test\\.cpp$")
      list(APPEND conc ${f})
    elseif(f MATCHES "_slow_test\\.cpp$")
      list(APPEND slow ${f})
    else()
      list(APPEND plain ${f})
    endif()
  endforeach()
  set(_OSTREL_TEST_LIBS ${A_LIBS})
  _ostrel_test_exe(${name} "" ${plain})
  _ostrel_test_exe(${name}_concurrency concurrency ${conc})
  _ostrel_test_exe(${name}_slow slow ${slow})
endfunction()

# ostrel_fuzz_target(<name> SOURCE <file> LIBS <libs...> CORPUS <dir>)
# The target defines LLVMFuzzerTestOneInput. In ordinary builds it is linked with a
# small driver that runs every file of the seed corpus once, as the CTest test
# FuzzCorpus.<name>. With OSTREL_BUILD_FUZZ (clang), scripts/fuzz builds real fuzzers.
function(ostrel_fuzz_target name)
  cmake_parse_arguments(A "" "SOURCE;CORPUS" "LIBS" ${ARGN})
  if(OSTREL_BUILD_FUZZ)
    add_executable(fuzz_${name} ${A_SOURCE})
    target_compile_options(fuzz_${name} PRIVATE ${OSTREL_WARNINGS} -fsanitize=fuzzer)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer)
    target_link_libraries(fuzz_${name} PRIVATE ${A_LIBS})
  else()
    add_executable(corpus_${name} ${A_SOURCE} ${PROJECT_SOURCE_DIR}/tests/fuzz/corpus_driver.cpp)
    target_compile_options(corpus_${name} PRIVATE ${OSTREL_WARNINGS})
    target_link_libraries(corpus_${name} PRIVATE ${A_LIBS})
    add_test(NAME FuzzCorpus.${name} COMMAND corpus_${name} ${A_CORPUS})
  endif()
endfunction()
