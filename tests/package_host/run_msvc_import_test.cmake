# cmake -DDEF=Velmora.def [-DLIB=Velmora.lib] -DBITS=32|64 -DCC=... -DINCLUDE_DIR=... -DPLUGIN_DIR=...
#       -DDLLTOOL=llvm-dlltool -DLINKER=lld-link -DDLL_DIR=... -DWORK_DIR=... -DRUNNER=a|b
#       -P run_msvc_import_test.cmake
#
# Turns the module-definition file a host gets into an MSVC import library the way the
# README tells MSVC hosts to (or takes the packaged one, LIB), links msvc_host.c against it
# with an MSVC-style linker and runs the program (from DLL_DIR, beside Velmora.dll)
# through RUNNER.
foreach(variable DEF BITS CC INCLUDE_DIR PLUGIN_DIR DLLTOOL LINKER DLL_DIR WORK_DIR RUNNER)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} not given")
  endif()
endforeach()

function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what} failed (${status})")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
if(BITS EQUAL 32)
  set(dlltool ${DLLTOOL} -m i386 -k)
  set(machine -machine:x86 -safeseh:no)
  set(exit_process ExitProcess@4)
else()
  set(dlltool ${DLLTOOL} -m i386:x86-64)
  set(machine -machine:x64)
  set(exit_process ExitProcess)
endif()

if(LIB)
  file(COPY_FILE ${LIB} ${WORK_DIR}/Velmora.lib)
else()
  run("making Velmora.lib" ${dlltool} -d ${DEF} -l ${WORK_DIR}/Velmora.lib)
endif()
file(WRITE ${WORK_DIR}/kernel32.def "LIBRARY kernel32.dll\nEXPORTS\n    ${exit_process}\n")
run("making kernel32.lib" ${dlltool} -d ${WORK_DIR}/kernel32.def -l ${WORK_DIR}/kernel32.lib)

# No C runtime: nothing may call into one, nor probe the stack through one.
run("compiling the host" ${CC} -std=c99 -O2 -ffreestanding -fno-asynchronous-unwind-tables
  -fno-stack-protector -mno-stack-arg-probe -Wall -Wextra -Werror -I${INCLUDE_DIR}
  "-DPLUGIN_DIR=\"${PLUGIN_DIR}\"" -c ${CMAKE_CURRENT_LIST_DIR}/msvc_host.c -o ${WORK_DIR}/msvc_host.obj)
set(program ${DLL_DIR}/velmora_msvc_host.exe)
run("linking the host" ${LINKER} ${machine} -subsystem:console -entry:HostMain -nodefaultlib
  -out:${program} ${WORK_DIR}/msvc_host.obj ${WORK_DIR}/Velmora.lib ${WORK_DIR}/kernel32.lib)

string(REPLACE "|" ";" runner "${RUNNER}")
execute_process(COMMAND ${runner} ${program} RESULT_VARIABLE status)
file(REMOVE ${program})
if(NOT status EQUAL 0)
  message(FATAL_ERROR "the host found ${status} mismatches (or did not run)")
endif()
