# The Windows Installer package's test (e2e/msi_e2e_test.cpp) installs this
# build's package, then upgrades it with a second one that the test build
# makes of the same binaries with a higher version.
math(EXPR MDS_NEXT_PATCH "${PROJECT_VERSION_PATCH} + 1")
set(MDS_TEST_UPGRADE_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${MDS_NEXT_PATCH})
mds_add_msi(mds_test_upgrade_package VERSION ${MDS_TEST_UPGRADE_VERSION}
  OUTPUT ${CMAKE_BINARY_DIR}/msi/test/mdsdriver-upgrade-x64.msi)
add_dependencies(mds_e2e_tests mdsdriver_package mds_test_upgrade_package)
target_compile_definitions(mds_e2e_tests PRIVATE MDS_TEST_UPGRADE_VERSION="${MDS_TEST_UPGRADE_VERSION}")
target_link_libraries(mds_e2e_tests PRIVATE msi)
