list(APPEND VANTOREL_WIN32_SOURCES
  winsock_session.cpp
  win32_route_table.cpp
  win32_http_probes.cpp
  win32_adapter_removal.cpp
  win32_interface_queries.cpp
  win32_resolver.cpp
  win32_connectivity_probe.cpp
  win32_sleeper.cpp
  winhttp_flow_probe.cpp)
