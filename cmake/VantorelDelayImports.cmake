# Delay-import libraries for the system DLLs that are not KnownDLLs (IPHLPAPI.DLL, WINHTTP.dll,
# fwpuclnt.dll):
# the loader would look for them beside the program before main runs, where a planted copy
# would be taken. Delay-loaded, each is loaded at its first call by mingw-w64's
# __delayLoadHelper2 (LoadLibraryA), after SetDefaultDllDirectories has limited the search to
# System32. Link `vantorel_delay_iphlpapi` / `vantorel_delay_winhttp` instead of the libraries.
find_program(VANTOREL_DLLTOOL NAMES x86_64-w64-mingw32-dlltool REQUIRED)
find_program(VANTOREL_NM NAMES x86_64-w64-mingw32-nm REQUIRED)

function(vantorel_delay_import name dll)
  find_library(import_library NAMES lib${name}.a REQUIRED NO_CACHE)
  execute_process(COMMAND ${VANTOREL_NM} -g --defined-only ${import_library}
                  OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
  # Every function the import library names (its __imp_ pointers) becomes an export of the .def.
  string(REGEX MATCHALL "[ \t]I __imp_[A-Za-z0-9_]+" pointers "${symbols}")
  set(def "LIBRARY ${dll}\nEXPORTS\n")
  foreach(pointer IN LISTS pointers)
    string(REGEX REPLACE ".*__imp_" "" function "${pointer}")
    string(APPEND def "${function}\n")
  endforeach()
  set(dir ${CMAKE_BINARY_DIR}/delay_imports)
  file(MAKE_DIRECTORY ${dir})
  file(WRITE ${dir}/${name}.def "${def}")
  execute_process(COMMAND ${VANTOREL_DLLTOOL} --input-def ${dir}/${name}.def --dllname ${dll}
                          --output-delaylib ${dir}/lib${name}_delay.a
                  COMMAND_ERROR_IS_FATAL ANY)
  add_library(vantorel_delay_${name} STATIC IMPORTED GLOBAL)
  set_target_properties(vantorel_delay_${name} PROPERTIES IMPORTED_LOCATION ${dir}/lib${name}_delay.a)
endfunction()

vantorel_delay_import(iphlpapi IPHLPAPI.DLL)
vantorel_delay_import(winhttp WINHTTP.dll)
vantorel_delay_import(fwpuclnt fwpuclnt.dll)
