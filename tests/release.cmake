# scripts/release, run as a user would (release/release_test.sh): two unsigned
# releases of this commit give the same archive, holding this build's
# binaries; a release signed with a throwaway certificate verifies, and its exe
# runs under Wine as this build's does. Each release builds the two shipped
# binaries on both cores, so the releases take turns.
set(MDS_RELEASE_TEST ${CMAKE_CURRENT_LIST_DIR}/release/release_test.sh)
foreach(mode reproducible signed)
  add_test(NAME release.${mode} COMMAND bash ${MDS_RELEASE_TEST} ${mode} ${CMAKE_BINARY_DIR})
endforeach()
set_tests_properties(release.reproducible release.signed PROPERTIES
  RESOURCE_LOCK release_build TIMEOUT 600 COST 500)
set_tests_properties(release.signed PROPERTIES FIXTURES_SETUP mds_signed_release)

add_test(NAME release.signed_exe_runs COMMAND bash ${MDS_RELEASE_TEST} signed-runs ${CMAKE_BINARY_DIR})
set_tests_properties(release.signed_exe_runs PROPERTIES
  ENVIRONMENT "${MDS_TEST_ENVIRONMENT}" RESOURCE_LOCK wineprefix FIXTURES_REQUIRED "mds_signed_release;wineserver"
  TIMEOUT 60)

add_test(NAME release.version COMMAND bash ${MDS_RELEASE_TEST} version ${CMAKE_BINARY_DIR})
# The binaries' hardening, imports included (release/pe_check.py), with
# Debian's Python, which has python3-pefile.
add_test(NAME release.hardening COMMAND /usr/bin/python3 ${CMAKE_CURRENT_LIST_DIR}/release/pe_check.py ${CMAKE_BINARY_DIR}/bin)
