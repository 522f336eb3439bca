# What the shipped Windows programs carry: a version resource and an application manifest made
# from the one product version (the project version), no time stamp, and no symbols in a
# release build. Also writes product.env, which scripts/package reads for the same values.

set(VANTOREL_VERSION_COMMAS "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},0")
set(VANTOREL_VERSION_QUAD "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
set(VANTOREL_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging/windows)

configure_file(${VANTOREL_PACKAGING_DIR}/product.env.in ${CMAKE_BINARY_DIR}/product.env @ONLY)

# vantorel_program(TARGET "File description")
function(vantorel_program target description)
  set(VANTOREL_PROGRAM ${target})
  set(VANTOREL_FILE_DESCRIPTION "${description}")
  set(resource_dir ${CMAKE_CURRENT_BINARY_DIR}/${target}_resources)
  set(VANTOREL_MANIFEST_FILE ${resource_dir}/${target}.manifest)
  configure_file(${VANTOREL_PACKAGING_DIR}/program.manifest ${VANTOREL_MANIFEST_FILE} @ONLY)
  configure_file(${VANTOREL_PACKAGING_DIR}/program.rc.in ${resource_dir}/${target}.rc @ONLY)
  target_sources(${target} PRIVATE ${resource_dir}/${target}.rc)
  set_source_files_properties(${resource_dir}/${target}.rc PROPERTIES OBJECT_DEPENDS ${VANTOREL_MANIFEST_FILE})
  target_link_options(${target} PRIVATE $<$<CONFIG:Release>:-s>)
endfunction()
