# Every fuzz target also builds as an ordinary test program that replays its
# committed inputs (seed corpus and regressions), so an input that once broke
# a property stays a test of the normal and sanitizer suites. Included from
# tests/CMakeLists.txt.

# nerko_fuzz_replay(<target> <Suite> <libraries...>): test program
# test_fuzz_<target> from tests/fuzz/<target>_fuzzer.cpp, tests named
# <Suite>.corpus_<file> and <Suite>.regression_<file>. The program lists the
# inputs itself; it depends on them, so a new input relinks it at the next
# build and CTest then lists the tests anew.
function(nerko_fuzz_replay target suite)
  set(dir ${CMAKE_CURRENT_LIST_DIR})
  add_executable(test_fuzz_${target} ${dir}/${target}_fuzzer.cpp ${dir}/replay_test.cpp)
  target_include_directories(test_fuzz_${target} PRIVATE ${CMAKE_SOURCE_DIR} ${dir})
  target_compile_definitions(test_fuzz_${target} PRIVATE
    FUZZ_SUITE="${suite}"
    FUZZ_CORPUS_DIR="${dir}/corpus/${target}"
    FUZZ_REGRESSIONS_DIR="${dir}/regressions/${target}")
  target_link_libraries(test_fuzz_${target} PRIVATE GTest::gtest ${ARGN})
  file(GLOB inputs CONFIGURE_DEPENDS ${dir}/corpus/${target}/* ${dir}/regressions/${target}/*)
  set_property(TARGET test_fuzz_${target} APPEND PROPERTY LINK_DEPENDS ${inputs})
  gtest_discover_tests(test_fuzz_${target} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120)
endfunction()

nerko_fuzz_replay(whitespace FuzzWhitespace nerko_encoder)
nerko_fuzz_replay(destination FuzzDestination nerko_encoder)
nerko_fuzz_replay(setting_readers FuzzSettingReaders nerko_encoder)
nerko_fuzz_replay(live_rate_input FuzzLiveRateInput gsttollamar_static PkgConfig::GST_CHECK)
