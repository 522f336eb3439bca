# The control pipe served for real over the fakes.

vantorel_test(service_pipe_test SOURCES test_pipe_server.cpp LIBS vantorel_service_pipe vantorel_fakes)
