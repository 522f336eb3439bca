# Helpers shared by every subsystem's CMakeLists.

function(vantorel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# vantorel_library(NAME SOURCES ... [LIBS ...])
function(vantorel_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
  vantorel_warnings(${name})
endfunction()

# vantorel_test(NAME SOURCES ... [LIBS ...]): one GoogleTest executable, registered with ctest.
# Natively every test case becomes a ctest test; under Wine one process runs the whole executable.
function(vantorel_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} vantorel_test_support)
  vantorel_warnings(${name})
  if(VANTOREL_WINDOWS)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT 600)
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
  endif()
endfunction()
