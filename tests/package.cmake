# The package area's test pieces: the scripted fake difxapi_x64.dll that the
# unit tests load, the probe that checks where a library loaded by its bare
# name may come from, and the planted stand-in for a system library.

# fake_difx.dll beside the test programs; tests copy it as difxapi_x64.dll.
add_library(fake_difx SHARED ${CMAKE_CURRENT_SOURCE_DIR}/fakes/difx/fake_difx.cpp)
set_target_properties(fake_difx PROPERTIES PREFIX "" OUTPUT_NAME fake_difx)
target_include_directories(fake_difx PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/difx ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(fake_difx PRIVATE UNICODE _UNICODE)
target_compile_options(fake_difx PRIVATE ${MDS_WARNINGS})

# Runs the tool's start-up and one switch while it sees its own module path
# as a bare file name.
add_executable(mds_bare_name_probe ${CMAKE_CURRENT_SOURCE_DIR}/probes/bare_name_probe.cpp)
target_link_libraries(mds_bare_name_probe PRIVATE mdscore)
target_compile_options(mds_bare_name_probe PRIVATE ${MDS_WARNINGS})
target_link_options(mds_bare_name_probe PRIVATE -municode)

# A stand-in for a planted system library: it leaves a file behind when loaded.
add_library(mds_planted_library SHARED ${CMAKE_CURRENT_SOURCE_DIR}/probes/planted_library.cpp)
set_target_properties(mds_planted_library PROPERTIES PREFIX "" OUTPUT_NAME mds_planted_library)
target_compile_options(mds_planted_library PRIVATE ${MDS_WARNINGS})

add_dependencies(mds_unit_tests fake_difx)
add_dependencies(mds_e2e_tests fake_difx difxapi_x64 mds_bare_name_probe mds_planted_library)

# A stand-in for mdsdriver.exe that answers as a test tells it, for the
# answers Wine never gives or gives only after minutes.
add_executable(mds_standin ${CMAKE_CURRENT_SOURCE_DIR}/tools/standin.cpp)
target_compile_options(mds_standin PRIVATE ${MDS_WARNINGS})
target_link_options(mds_standin PRIVATE -municode)
add_dependencies(mds_e2e_tests mds_standin)
