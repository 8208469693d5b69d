# The Pascal unit on its real target: the Pascal host built for i386-win32 by a Free Pascal
# cross-compiler (built once by scripts/build-fpc-win32.sh into build/fpc-win32) and run
# under the 32-bit Wine against this build's Velmora.dll. Included from tests/hosts.cmake.
#
# Beside it, hosts built from copies of the unit that pass the two blocks of
# GetCapFileList `const` or `var`, as a Delphi programmer might declare them: the caller
# then pushes two addresses in place of 48 bytes, and the host must say so.
set(fpc_prefix ${PROJECT_SOURCE_DIR}/build/fpc-win32)
add_custom_command(OUTPUT ${fpc_prefix}/done
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/build-fpc-win32.sh ${fpc_prefix}
  COMMENT "Building the Free Pascal cross-compiler for i386-win32 (once)"
  VERBATIM)
add_custom_target(fpc_win32 DEPENDS ${fpc_prefix}/done)

set(pascal_unit ${PROJECT_SOURCE_DIR}/bindings/pascal/Velmora.pas)
set(pascal_program ${CMAKE_CURRENT_SOURCE_DIR}/pascal_host/PascalHost.pas)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${pascal_unit})
file(READ ${pascal_unit} unit_text)

function(pascal_win32_host name unit_directory)
  set(units ${CMAKE_CURRENT_BINARY_DIR}/${name})
  # Beside Velmora.dll, where Windows finds it.
  set(program ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${name}.exe)
  add_custom_command(OUTPUT ${program}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${units}
    # -Sew: warnings fail the build.
    COMMAND ${fpc_prefix}/bin/ppcross386 -n -Twin32 -Pi386 -Sew -vwn -Fu${fpc_prefix}/rtl
      -Fu${unit_directory} -FU${units} -o${program} ${pascal_program}
    DEPENDS ${pascal_program} ${unit_directory}/Velmora.pas ${fpc_prefix}/done
    COMMENT "Building ${name}.exe with Free Pascal for i386-win32"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${program})
  add_dependencies(${name} fpc_win32 Velmora ${c_plugins} sample_plugin)
  add_test(NAME ${name} COMMAND ${host_runner} ${program} ${C_PLUGINS} $<TARGET_FILE_DIR:sample_plugin>)
  set_tests_properties(${name} PROPERTIES TIMEOUT 120
    ENVIRONMENT "VELMORA_WINE_ROOT=${PROJECT_SOURCE_DIR}/build/wine")
endfunction()

pascal_win32_host(velmora_pascal_host_win32 ${PROJECT_SOURCE_DIR}/bindings/pascal)

foreach(passing const var)
  set(directory ${CMAKE_CURRENT_BINARY_DIR}/pascal_unit_${passing}_blocks)
  string(REPLACE "BlockA, BlockB: TVelmoraBlock24" "${passing} BlockA, BlockB: TVelmoraBlock24"
    mutated "${unit_text}")
  if(mutated STREQUAL unit_text)
    message(FATAL_ERROR "the blocks of Velmora_GetCapFileList are no longer declared as "
      "\"BlockA, BlockB: TVelmoraBlock24\" in ${pascal_unit}")
  endif()
  file(WRITE ${directory}/Velmora.pas.new "${mutated}")
  file(COPY_FILE ${directory}/Velmora.pas.new ${directory}/Velmora.pas ONLY_IF_DIFFERENT)
  pascal_win32_host(velmora_pascal_host_win32_${passing}_blocks ${directory})
  set_tests_properties(velmora_pascal_host_win32_${passing}_blocks PROPERTIES
    PASS_REGULAR_EXPRESSION "MISMATCH stack pointer moved by GetCapFileList")
endforeach()
