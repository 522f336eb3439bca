# Route table, resolver, probe and flow probe tests.

add_library(vantorel_scripted_tcp_server STATIC scripted_tcp_server.cpp)
target_include_directories(vantorel_scripted_tcp_server PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(vantorel_scripted_tcp_server PUBLIC ws2_32)
vantorel_warnings(vantorel_scripted_tcp_server)

# Loopback only, no privileges.
vantorel_test(test_resolver SOURCES test_resolver.cpp LIBS vantorel_win32)
vantorel_test(test_probes SOURCES test_probes.cpp LIBS vantorel_win32 vantorel_scripted_tcp_server)
vantorel_test(test_flow_probe SOURCES test_flow_probe.cpp LIBS vantorel_win32 vantorel_scripted_tcp_server)

# Needs the network namespace run_netns_tests.sh builds; every case skips with a reason
# when started without it.
vantorel_test(test_route_table_netns SOURCES test_route_table_netns.cpp test_probes_netns.cpp netns_environment.cpp
  LIBS vantorel_win32 vantorel_scripted_tcp_server)
