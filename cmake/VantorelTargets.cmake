# Helpers shared by every subsystem's CMakeLists.

function(vantorel_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

# Every library sees only the headers of itself and of what it links. Its own headers are
# linked into a folder of its own in the build tree, which is its only include root, so a
# header of a library it does not link (the core reaching for a Win32 header, say) is not found
# and the build fails. Includes keep their paths from the top of the tree ("broker/core/...").
function(vantorel_stage_headers target scope)
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  file(REMOVE_RECURSE ${root})
  foreach(header ${ARGN})
    file(RELATIVE_PATH relative ${PROJECT_SOURCE_DIR} ${header})
    get_filename_component(folder ${root}/${relative} DIRECTORY)
    file(MAKE_DIRECTORY ${folder})
    file(CREATE_LINK ${header} ${root}/${relative} SYMBOLIC)
  endforeach()
  target_include_directories(${target} ${scope} ${root})
endfunction()

# The headers of a target: one beside each source that has one, and the header-only ones named.
function(vantorel_headers_of out)
  set(headers)
  foreach(file ${ARGN})
    get_filename_component(absolute ${file} ABSOLUTE BASE_DIR ${CMAKE_CURRENT_SOURCE_DIR})
    string(REGEX REPLACE "\\.(cpp|h)$" ".h" header ${absolute})
    if(EXISTS ${header})
      list(APPEND headers ${header})
    endif()
  endforeach()
  list(REMOVE_DUPLICATES headers)
  set(${out} ${headers} PARENT_SCOPE)
endfunction()

# vantorel_library(NAME SOURCES ... [HEADERS ...] [LIBS ...]): HEADERS are header-only files.
function(vantorel_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;HEADERS;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  vantorel_headers_of(headers ${ARG_SOURCES} ${ARG_HEADERS})
  vantorel_stage_headers(${name} PUBLIC ${headers})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
  vantorel_warnings(${name})
endfunction()

# vantorel_header_library(NAME HEADERS ... [LIBS ...]): contracts with no code of their own.
function(vantorel_header_library name)
  cmake_parse_arguments(ARG "" "" "HEADERS;LIBS" ${ARGN})
  add_library(${name} INTERFACE)
  vantorel_headers_of(headers ${ARG_HEADERS})
  vantorel_stage_headers(${name} INTERFACE ${headers})
  target_link_libraries(${name} INTERFACE ${ARG_LIBS})
endfunction()

# vantorel_executable(NAME SOURCES ... [HEADERS ...] [LIBS ...]): a program and its own headers.
function(vantorel_executable name)
  cmake_parse_arguments(ARG "" "" "SOURCES;HEADERS;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  vantorel_headers_of(headers ${ARG_SOURCES} ${ARG_HEADERS})
  vantorel_stage_headers(${name} PRIVATE ${headers})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
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
