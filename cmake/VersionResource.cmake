# larkspan_version_resource(target file-name description): gives a Windows
# target a version resource carrying the project's version, and a program
# (not the DLL, which runs under its caller's manifest) the application
# manifest cmake/program.manifest.
function(larkspan_version_resource target file_name description)
  if(NOT WIN32)
    return()
  endif()
  set(VERSION_FILE_NAME ${file_name})
  set(VERSION_DESCRIPTION ${description})
  get_filename_component(VERSION_INTERNAL_NAME ${file_name} NAME_WE)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set(VERSION_FILE_TYPE VFT_DLL)
  else()
    set(VERSION_FILE_TYPE VFT_APP)
    set(manifest_rc ${PROJECT_SOURCE_DIR}/cmake/program-manifest.rc)
    target_sources(${target} PRIVATE ${manifest_rc})
    set_source_files_properties(${manifest_rc} PROPERTIES OBJECT_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/program.manifest)
  endif()
  set(output ${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${output} @ONLY)
  target_sources(${target} PRIVATE ${output})
endfunction()
