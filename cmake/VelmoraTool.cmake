# velmora_tool(target usage_file): target is a program for users, shipped in every package
# (on Debian in the tools package). usage_file, beside its sources, is the one source of its
# --help text (velmora::tools::kUsage, from the generated "usage.h") and of its section-1
# manual page, man/man1/<target>.1 in the build tree, both made at build time by
# cmake/VelmoraUsageText.cmake. cmake/VelmoraRelease.cmake installs each such program with
# its page.
set(VELMORA_MANUAL_DIR ${CMAKE_BINARY_DIR}/man)

function(velmora_tool target usage_file)
  get_filename_component(text ${usage_file} ABSOLUTE)
  set(script ${PROJECT_SOURCE_DIR}/cmake/VelmoraUsageText.cmake)
  set(header_dir ${CMAKE_CURRENT_BINARY_DIR}/${target}-usage)
  set(page ${VELMORA_MANUAL_DIR}/man1/${target}.1)
  add_custom_command(OUTPUT ${header_dir}/usage.h ${page}
    COMMAND ${CMAKE_COMMAND} -DTEXT=${text} -DPROGRAM=${target} -DVERSION=${PROJECT_VERSION}
      -DHEADER=${header_dir}/usage.h -DPAGE=${page} -P ${script}
    DEPENDS ${text} ${script}
    COMMENT "Usage text and manual page of ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE ${header_dir}/usage.h)
  target_include_directories(${target} PRIVATE ${header_dir})
  set_property(GLOBAL APPEND PROPERTY VELMORA_TOOLS ${target})
  # What the program does, in the sentence after the synopsis, for package descriptions.
  file(READ ${text} usage)
  if(NOT usage MATCHES "\n\n([^\n]+)\n")
    message(FATAL_ERROR "${text}: no sentence after the synopsis")
  endif()
  set_target_properties(${target} PROPERTIES VELMORA_SUMMARY "${CMAKE_MATCH_1}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${text})
endfunction()
