# The control pipe served for real over the fakes.

vantorel_test(test_pipe_server SOURCES test_pipe_server.cpp LIBS vantorel_service_pipe vantorel_fakes)

# Helper of the end-to-end suite: holds paths open, reads and sets service settings.
add_executable(service_test_tool service_test_tool.cpp)
target_link_libraries(service_test_tool PRIVATE advapi32)
target_link_options(service_test_tool PRIVATE -municode)
vantorel_warnings(service_test_tool)
