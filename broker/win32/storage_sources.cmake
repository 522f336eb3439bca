list(APPEND VANTOREL_WIN32_SOURCES
  data_directory.cpp
  directory_security.cpp
  win32_session_files.cpp
  win32_tunnel_log.cpp)
