# The Pascal unit on its real target: the Pascal host built for i386-win32 by a Free Pascal
# cross-compiler (built once by scripts/build-fpc-win32.sh into build/fpc-win32) and run
# under the 32-bit Wine against this build's Velmora.dll. Included from tests/hosts.cmake.
#
# Beside it, hosts built from copies of the unit that pass the two blocks of
# GetCapFileList `const` or `var`, as a Delphi programmer might declare them (the caller
# then pushes two addresses in place of 48 bytes), or that declare a callback `cdecl`:
# the host must say so.
set(fpc_prefix ${PROJECT_SOURCE_DIR}/build/fpc-win32)
add_custom_command(OUTPUT ${fpc_prefix}/done
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/build-fpc-win32.sh ${fpc_prefix}
  COMMENT "Building the Free Pascal cross-compiler for i386-win32 (once)"
  VERBATIM)
add_custom_target(fpc_win32 DEPENDS ${fpc_prefix}/done)

set(pascal_unit ${PROJECT_SOURCE_DIR}/bindings/pascal/Velmora.pas)
set(pascal_program ${CMAKE_CURRENT_SOURCE_DIR}/pascal_host/PascalHost.pas)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${pascal_unit} ${pascal_program})

# pascal_win32_host(name unit_directory program)
function(pascal_win32_host name unit_directory program_source)
  set(units ${CMAKE_CURRENT_BINARY_DIR}/${name})
  # Beside Velmora.dll, where Windows finds it.
  set(program ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/${name}.exe)
  add_custom_command(OUTPUT ${program}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${units}
    # -Sew: warnings fail the build.
    COMMAND ${fpc_prefix}/bin/ppcross386 -n -Twin32 -Pi386 -Sew -vwn -Fu${fpc_prefix}/rtl
      -Fu${unit_directory} -FU${units} -o${program} ${program_source}
    DEPENDS ${program_source} ${unit_directory}/Velmora.pas ${fpc_prefix}/done
    COMMENT "Building ${name}.exe with Free Pascal for i386-win32"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${program})
  add_dependencies(${name} fpc_win32 Velmora ${c_plugins} sample_plugin)
  add_test(NAME ${name} COMMAND ${host_runner} ${program} ${C_PLUGINS} $<TARGET_FILE_DIR:sample_plugin>)
  set_tests_properties(${name} PROPERTIES TIMEOUT 120
    ENVIRONMENT "VELMORA_WINE_ROOT=${PROJECT_SOURCE_DIR}/build/wine")
endfunction()

pascal_win32_host(velmora_pascal_host_win32 ${PROJECT_SOURCE_DIR}/bindings/pascal ${pascal_program})

# copy_changed(source destination from to): SOURCE with FROM replaced by TO, written only
# when it changed. Fails when SOURCE no longer holds FROM.
function(copy_changed source destination from to)
  file(READ ${source} text)
  string(REPLACE "${from}" "${to}" changed "${text}")
  if(changed STREQUAL text)
    message(FATAL_ERROR "${source} no longer holds \"${from}\"")
  endif()
  file(WRITE ${destination}.new "${changed}")
  file(COPY_FILE ${destination}.new ${destination} ONLY_IF_DIFFERENT)
endfunction()

# Hosts built from a unit declared otherwise than the DLL works, each of which must report
# the stack pointer it moved.
foreach(passing const var)
  set(name velmora_pascal_host_win32_${passing}_blocks)
  copy_changed(${pascal_unit} ${CMAKE_CURRENT_BINARY_DIR}/${name}_unit/Velmora.pas
    "BlockA, BlockB: TVelmoraBlock24" "${passing} BlockA, BlockB: TVelmoraBlock24")
  pascal_win32_host(${name} ${CMAKE_CURRENT_BINARY_DIR}/${name}_unit ${pascal_program})
  set_tests_properties(${name} PROPERTIES
    PASS_REGULAR_EXPRESSION "MISMATCH stack pointer moved by GetCapFileList")
endforeach()

# A type callback declared cdecl, in the unit and in the host: the DLL's loop then finds
# its stack 12 bytes lower after each call.
set(name velmora_pascal_host_win32_cdecl_callback)
set(callback_type "TVelmoraServerTypeCallBack = procedure(TypeId: TVelmoraInt; Name: PAnsiChar;
    User: TVelmoraWord); stdcall;")
set(callback "procedure ListType(TypeId: TVelmoraInt; Name: PAnsiChar; User: TVelmoraWord); stdcall;")
string(REPLACE "stdcall" "cdecl" cdecl_callback_type "${callback_type}")
string(REPLACE "stdcall" "cdecl" cdecl_callback "${callback}")
copy_changed(${pascal_unit} ${CMAKE_CURRENT_BINARY_DIR}/${name}_unit/Velmora.pas
  "${callback_type}" "${cdecl_callback_type}")
copy_changed(${pascal_program} ${CMAKE_CURRENT_BINARY_DIR}/${name}_unit/PascalHost.pas
  "${callback}" "${cdecl_callback}")
pascal_win32_host(${name} ${CMAKE_CURRENT_BINARY_DIR}/${name}_unit
  ${CMAKE_CURRENT_BINARY_DIR}/${name}_unit/PascalHost.pas)
set_tests_properties(${name} PROPERTIES
  PASS_REGULAR_EXPRESSION "MISMATCH stack pointer of a later callback call against the first")
