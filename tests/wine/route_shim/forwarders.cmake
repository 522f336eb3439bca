# Writes the export list of the test iphlpapi.dll: every export of Wine's builtin forwarded to
# the renamed copy of it, except those the replacement implements itself.
# cmake -DOBJDUMP=... -DBUILTIN=... -DCOPY=wineiphlp -DOWN=A,B -DOUT=iphlpapi.def -P forwarders.cmake
#
# Generated at build time rather than committed: the forwarders must name exactly what the
# installed Wine's builtin exports, the very file the test prefix is given a copy of.
cmake_minimum_required(VERSION 3.25)
string(REPLACE "," ";" OWN "${OWN}")
execute_process(COMMAND ${OBJDUMP} -p ${BUILTIN} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot read the exports of ${BUILTIN}")
endif()
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table[^\n]*\n(.*)" names_part "${dump}")
set(names_text "${CMAKE_MATCH_1}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" entries "${names_text}")
set(def "LIBRARY iphlpapi.dll\nEXPORTS\n")
foreach(name IN LISTS OWN)
  string(APPEND def "    ${name}\n")
endforeach()
set(forwarded 0)
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${entry}")
  string(STRIP "${name}" name)
  # Decorated names (the packet-filter API, "_Pf...@24") cannot be written in a .def.
  if(name MATCHES "@" OR name IN_LIST OWN)
    continue()
  endif()
  string(APPEND def "    ${name} = ${COPY}.${name}\n")
  math(EXPR forwarded "${forwarded} + 1")
endforeach()
if(forwarded LESS 100)
  message(FATAL_ERROR "only ${forwarded} exports found in ${BUILTIN}")
endif()
file(WRITE ${OUT} "${def}")
