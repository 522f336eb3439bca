# The test-only fwpuclnt.dll that stands in for Wine's stubs (see docs/testing.md). Built into its
# own folder so no test executable picks it up by accident; never packaged.
add_library(fwp_shim SHARED fwp_shim/fwp_shim.cpp fwp_shim/fwp_rules.cpp fwp_shim/fwpuclnt.def)
target_include_directories(fwp_shim PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(fwp_shim PRIVATE vantorel_route_agent_client iphlpapi ws2_32)
target_link_options(fwp_shim PRIVATE -static)
set_target_properties(fwp_shim PROPERTIES PREFIX "" OUTPUT_NAME fwpuclnt
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fwp_shim)
vantorel_warnings(fwp_shim)

# Beside the DLL, which it loads instead of Wine's stubs.
vantorel_test(test_fwp_shim SOURCES fwp_shim/test_fwp_shim.cpp LIBS vantorel_win32)
set_target_properties(test_fwp_shim PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fwp_shim)
add_dependencies(test_fwp_shim fwp_shim)
set_tests_properties(test_fwp_shim PROPERTIES ENVIRONMENT "WINEDLLOVERRIDES=fwpuclnt=n,b")
