# The test-only iphlpapi.dll that gives Wine the route writes it lacks (see docs/testing.md).
# Built into its own folder so no test executable picks it up by accident; never packaged.

set(VANTOREL_WINE_IPHLPAPI /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/iphlpapi.dll
    CACHE FILEPATH "Wine's builtin iphlpapi.dll, to which the test replacement forwards")
find_program(VANTOREL_MINGW_OBJDUMP NAMES x86_64-w64-mingw32-objdump objdump)

# Shared with the stand-in engine, which holds its adapter through the same agent.
vantorel_library(vantorel_route_agent_client SOURCES route_shim/agent_link.cpp LIBS vantorel_win32_common ws2_32)

# Runs inside run_e2e.sh's namespace beside the test DLL; skips everywhere else.
vantorel_test(test_route_shim SOURCES test_route_shim.cpp netns_environment.cpp
  LIBS vantorel_win32 vantorel_route_agent_client)

if(NOT EXISTS ${VANTOREL_WINE_IPHLPAPI} OR NOT VANTOREL_MINGW_OBJDUMP)
  message(STATUS "route shim not built: ${VANTOREL_WINE_IPHLPAPI} or objdump missing")
  return()
endif()

set(shim_own_exports InitializeIpForwardEntry CreateIpForwardEntry2 DeleteIpForwardEntry2
    GetIpForwardTable2 FreeMibTable GetAdaptersAddresses GetIfEntry2
    InitializeIpInterfaceEntry GetIpInterfaceEntry GetIpInterfaceTable SetInterfaceDnsSettings)
string(REPLACE ";" "," shim_own_list "${shim_own_exports}")
set(shim_def ${CMAKE_CURRENT_BINARY_DIR}/iphlpapi.def)
add_custom_command(OUTPUT ${shim_def}
  COMMAND ${CMAKE_COMMAND} -DOBJDUMP=${VANTOREL_MINGW_OBJDUMP} -DBUILTIN=${VANTOREL_WINE_IPHLPAPI}
          -DCOPY=wineiphlp -DOWN=${shim_own_list} -DOUT=${shim_def}
          -P ${CMAKE_CURRENT_SOURCE_DIR}/route_shim/forwarders.cmake
  VERBATIM
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/route_shim/forwarders.cmake ${VANTOREL_WINE_IPHLPAPI}
  COMMENT "Export list of the test iphlpapi.dll")

add_library(route_shim SHARED
  route_shim/agent_view.cpp route_shim/builtin.cpp route_shim/own_tables.cpp route_shim/route_rows.cpp
  route_shim/route_writes.cpp route_shim/forward_table.cpp route_shim/adapter_list.cpp
  route_shim/interface_rows.cpp route_shim/dns_settings.cpp ${shim_def})
target_include_directories(route_shim PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(route_shim PRIVATE vantorel_route_agent_client advapi32 ws2_32)
target_link_options(route_shim PRIVATE -static)
set_target_properties(route_shim PROPERTIES PREFIX "" OUTPUT_NAME iphlpapi
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/route_shim)
vantorel_warnings(route_shim)
