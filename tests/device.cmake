# Device operations: the sample-device registry (a library the end-to-end
# tests link, and the register_devices program around it).
add_library(mds_device_registry STATIC ${CMAKE_CURRENT_SOURCE_DIR}/tools/device_registry.cpp)
target_include_directories(mds_device_registry PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(mds_device_registry PUBLIC UNICODE _UNICODE)
target_compile_options(mds_device_registry PRIVATE ${MDS_WARNINGS})
target_link_libraries(mds_device_registry PUBLIC setupapi)

add_executable(register_devices ${CMAKE_CURRENT_SOURCE_DIR}/tools/register_devices.cpp)
target_compile_options(register_devices PRIVATE ${MDS_WARNINGS})
target_link_options(register_devices PRIVATE -municode)
target_link_libraries(register_devices PRIVATE mds_device_registry)

target_link_libraries(mds_e2e_tests PRIVATE mds_device_registry)
