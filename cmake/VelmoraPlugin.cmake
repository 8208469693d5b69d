# velmora_add_plugin(target FILE name [EXTENSION ext] DIRECTORY dir SOURCES ... [DEFINES ...] [LIBRARIES ...]
#                    [DECORATED_NAMES])
# Builds a plug-in library named exactly FILE plus EXTENSION (the platform's plug-in
# extension by default) into DIRECTORY. On Linux the plug-in's run path holds $ORIGIN, in
# the build tree and installed, so the libraries a vendor ships beside it are found there.
# DECORATED_NAMES keeps the names a 32-bit compiler gives stdcall functions, as a plug-in
# linked without --kill-at or a .def file has them (for the validator's tests).
if(WIN32)
  set(VELMORA_PLUGIN_EXTENSION .dll)
else()
  set(VELMORA_PLUGIN_EXTENSION .so)
endif()

function(velmora_add_plugin target)
  cmake_parse_arguments(P "DECORATED_NAMES" "FILE;EXTENSION;DIRECTORY" "SOURCES;DEFINES;LIBRARIES" ${ARGN})
  if(NOT P_EXTENSION)
    set(P_EXTENSION ${VELMORA_PLUGIN_EXTENSION})
  endif()
  add_library(${target} MODULE ${P_SOURCES})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME ${P_FILE} SUFFIX ${P_EXTENSION}
    LIBRARY_OUTPUT_DIRECTORY ${P_DIRECTORY} CXX_VISIBILITY_PRESET hidden)
  target_compile_definitions(${target} PRIVATE ${P_DEFINES})
  target_link_libraries(${target} PRIVATE velmora_headers ${P_LIBRARIES})
  if(NOT WIN32)
    set_target_properties(${target} PROPERTIES BUILD_RPATH "$ORIGIN" INSTALL_RPATH "$ORIGIN")
  endif()
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686" AND NOT P_DECORATED_NAMES)
    # stdcall entry points under their bare names.
    target_link_options(${target} PRIVATE -Wl,--kill-at)
  endif()
endfunction()
