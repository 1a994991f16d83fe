# The Windows Installer package's test (e2e/msi_e2e_test.cpp) installs this
# build's package, then upgrades it with a second one that the test build
# makes of the same binaries with a higher version; a third fails after its
# install step, so that its rollback runs.
math(EXPR MDS_NEXT_PATCH "${PROJECT_VERSION_PATCH} + 1")
set(MDS_TEST_UPGRADE_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${MDS_NEXT_PATCH})
mds_add_msi(mds_test_upgrade_package VERSION ${MDS_TEST_UPGRADE_VERSION}
  OUTPUT ${CMAKE_BINARY_DIR}/msi/test/mdsdriver-upgrade-x64.msi)
mds_add_msi(mds_test_failing_package VERSION ${PROJECT_VERSION} OUTPUT ${CMAKE_BINARY_DIR}/msi/test/mdsdriver-fails-x64.msi
  SQL ${CMAKE_CURRENT_SOURCE_DIR}/msi_fails_late.sql)
add_dependencies(mds_e2e_tests mdsdriver_package mds_test_upgrade_package mds_test_failing_package)
target_compile_definitions(mds_e2e_tests PRIVATE MDS_TEST_UPGRADE_VERSION="${MDS_TEST_UPGRADE_VERSION}")
target_link_libraries(mds_e2e_tests PRIVATE msi)
