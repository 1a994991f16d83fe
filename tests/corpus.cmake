# The bad-input corpus: mdsdriver.exe run for real against broken INF files,
# odd device properties and odd places to run from. Each case is a ctest test
# of its own; after all of them, CorpusSummary adds up how many inputs they
# tried and how many crashed or hung, and prints the figure.
add_executable(mds_corpus_tests ${CMAKE_CURRENT_SOURCE_DIR}/e2e/corpus_e2e_test.cpp)
target_link_libraries(mds_corpus_tests PRIVATE mds_test_support mds_device_registry GTest::gtest_main)
target_compile_options(mds_corpus_tests PRIVATE ${MDS_WARNINGS})
add_dependencies(mds_corpus_tests mds_fixtures mdsdriver)

gtest_discover_tests(mds_corpus_tests
  DISCOVERY_MODE PRE_TEST
  DISCOVERY_TIMEOUT 120
  TEST_FILTER "-CorpusSummary.*"
  PROPERTIES ENVIRONMENT "${MDS_TEST_ENVIRONMENT}" TIMEOUT 300 RESOURCE_LOCK wineprefix FIXTURES_SETUP mds_corpus
    FIXTURES_REQUIRED wineserver)

add_test(NAME CorpusSummary.NoInputCrashedOrHung
  COMMAND mds_corpus_tests --gtest_filter=CorpusSummary.NoInputCrashedOrHung)
set_tests_properties(CorpusSummary.NoInputCrashedOrHung PROPERTIES
  ENVIRONMENT "${MDS_TEST_ENVIRONMENT}" TIMEOUT 60 FIXTURES_REQUIRED "mds_corpus;wineserver")
