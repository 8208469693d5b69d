# velmora_separate_debug_info(target): for a binary a release ships. With
# VELMORA_SEPARATE_DEBUG_INFO (the package presets), its debug information goes to
# NAME.debug beside it, found by debuggers through the .gnu_debuglink section, and the
# binary itself is stripped; scripts/make-packages.sh archives the .debug files.
# Call it in the directory that creates the target.
option(VELMORA_SEPARATE_DEBUG_INFO "Strip the shipped binaries, keeping their debug information in .debug files" OFF)

function(velmora_separate_debug_info target)
  if(NOT VELMORA_SEPARATE_DEBUG_INFO)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  if(WIN32 OR type STREQUAL "EXECUTABLE")
    set(strip_option --strip-all)
  else()
    # Shared objects keep what dynamic linking needs.
    set(strip_option --strip-unneeded)
  endif()
  if(NOT WIN32)
    # The compilers' names and versions, which nothing at run time reads.
    list(APPEND strip_option --remove-section=.comment)
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE_NAME:${target}> $<TARGET_FILE_NAME:${target}>.debug
    COMMAND ${CMAKE_OBJCOPY} ${strip_option} --add-gnu-debuglink=$<TARGET_FILE_NAME:${target}>.debug
      $<TARGET_FILE_NAME:${target}>
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${target}>
    VERBATIM)
endfunction()
