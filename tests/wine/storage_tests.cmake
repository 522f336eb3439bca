# Session files, service log, engine host tests.

# Stands in for sing-box.exe: the engine host tests copy it under that name.
add_executable(stand_in_engine stand_in_engine.cpp stand_in_adapter.cpp stand_in_api.cpp)
target_include_directories(stand_in_engine PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(stand_in_engine PRIVATE vantorel_route_agent_client ws2_32)
target_link_options(stand_in_engine PRIVATE -municode)
vantorel_warnings(stand_in_engine)

vantorel_test(test_data_directory SOURCES test_data_directory.cpp LIBS vantorel_win32)
vantorel_test(test_session_files SOURCES test_session_files.cpp LIBS vantorel_win32)
# A second process writing the service log, for the service log tests.
add_executable(log_writer log_writer.cpp)
target_include_directories(log_writer PRIVATE ${PROJECT_SOURCE_DIR})
target_link_libraries(log_writer PRIVATE vantorel_win32)
target_link_options(log_writer PRIVATE -municode)
vantorel_warnings(log_writer)

vantorel_test(test_tunnel_log SOURCES test_tunnel_log.cpp LIBS vantorel_win32)
add_dependencies(test_tunnel_log log_writer)
vantorel_test(test_engine_host SOURCES test_engine_host.cpp LIBS vantorel_win32)
add_dependencies(test_engine_host stand_in_engine)
