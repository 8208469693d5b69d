# cmake -DNM=... -DEXPORTS=velmora.def -DOBJECTS=a.obj|b.obj -DOUTPUT=Velmora.def
#       [-DDLLTOOL=... -DIMPORT_LIBRARY=libVelmora.dll.a] -P VelmoraImportLibrary.cmake
#
# The DLL exports bare names (EXPORTS), but a 32-bit host compiler calls a stdcall function
# by its decorated name, Name@bytes. Writes OUTPUT: every export of EXPORTS with its ordinal,
# under the name the compiler gave it in OBJECTS (decorated on 32-bit, bare on 64-bit).
# With DLLTOOL, also rebuilds IMPORT_LIBRARY from OUTPUT with --kill-at: hosts link the
# decorated names, the DLL is asked for the bare ones.
foreach(variable NM EXPORTS OBJECTS OUTPUT)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} not given")
  endif()
endforeach()

string(REPLACE "|" ";" objects "${OBJECTS}")
execute_process(COMMAND ${NM} --defined-only ${objects}
  OUTPUT_VARIABLE symbols ERROR_VARIABLE nm_errors RESULT_VARIABLE nm_status)
if(NOT nm_status EQUAL 0)
  message(FATAL_ERROR "${NM} failed: ${nm_errors}")
endif()

file(STRINGS ${EXPORTS} lines)
set(definitions "LIBRARY Velmora.dll\nEXPORTS\n")
set(count 0)
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^[ \t]+([A-Za-z_][A-Za-z0-9_]*)[ \t]+@([0-9]+)")
    continue()
  endif()
  set(name ${CMAKE_MATCH_1})
  set(ordinal ${CMAKE_MATCH_2})
  # nm: "<address> T <symbol>", with the leading underscore of 32-bit C names.
  if(NOT symbols MATCHES "[ \t]T _?(${name}(@[0-9]+)?)\n")
    message(FATAL_ERROR "${name} is exported but defined in none of ${objects}")
  endif()
  string(APPEND definitions "    ${CMAKE_MATCH_1} @${ordinal}\n")
  math(EXPR count "${count} + 1")
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "no exports found in ${EXPORTS}")
endif()
file(WRITE ${OUTPUT} "${definitions}")

if(DLLTOOL)
  execute_process(COMMAND ${DLLTOOL} --kill-at --input-def ${OUTPUT} --dllname Velmora.dll
    --output-lib ${IMPORT_LIBRARY} RESULT_VARIABLE dlltool_status)
  if(NOT dlltool_status EQUAL 0)
    message(FATAL_ERROR "${DLLTOOL} failed")
  endif()
endif()
