# The portable text code, built for Linux with clang by scripts/common.sh
# (build_native) into <build>/native, and run here with everything else. These
# are Linux programs, not targets of this build, so they run without Wine and
# take no prefix lock.
set(MDS_NATIVE_DIR ${CMAKE_BINARY_DIR}/native)
set(MDS_NATIVE_CORPUS ${CMAKE_CURRENT_LIST_DIR}/native/corpus/diag_text_fuzzer)
set(MDS_NATIVE_ENVIRONMENT
  ASAN_OPTIONS=detect_leaks=1:check_initialization_order=1:detect_stack_use_after_return=1
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)

add_test(NAME native.text_unit_tests COMMAND ${MDS_NATIVE_DIR}/text_unit_tests)
set_tests_properties(native.text_unit_tests PROPERTIES
  ENVIRONMENT "${MDS_NATIVE_ENVIRONMENT}"
  TIMEOUT 120)

# About 30 s of fuzzing. New inputs go to the build's own corpus folder; the
# committed seeds are only read. Any crash, sanitizer finding or failed check
# ends the fuzzer with a non-zero exit and leaves its input in fuzz-artifacts.
# The high COST starts it first, beside the Wine tests.
add_test(NAME native.diag_text_fuzzer
  COMMAND ${MDS_NATIVE_DIR}/diag_text_fuzzer
    -max_total_time=30 -timeout=10 -print_final_stats=1
    -artifact_prefix=${MDS_NATIVE_DIR}/fuzz-artifacts/
    ${MDS_NATIVE_DIR}/fuzz-corpus ${MDS_NATIVE_CORPUS})
set_tests_properties(native.diag_text_fuzzer PROPERTIES
  ENVIRONMENT "${MDS_NATIVE_ENVIRONMENT}"
  WORKING_DIRECTORY ${MDS_NATIVE_DIR}
  TIMEOUT 180
  COST 1000)
