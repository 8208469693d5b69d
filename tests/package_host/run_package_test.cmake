# cmake -DBUILD_DIR=...|-DPREFIX=... -DWORK_DIR=... -DVERSION=x.y.z -DPLUGIN_DIR=... -DGENERATOR=...
#       [-DTOOLCHAIN_FILE=... -DCOMPILER=... -DC_FLAGS=... -DLINKER_FLAGS=... -DRUNNER=a|b
#        -DREADME=...]
#       -P run_package_test.cmake
#
# Installs the build in BUILD_DIR into a fresh prefix under WORK_DIR (or takes the unpacked
# release package in PREFIX), builds the host project beside this script against the
# package (find_package(Velmora VERSION EXACT)), and runs it (through RUNNER, if given)
# against the plug-ins in PLUGIN_DIR. Fails on any step that fails, on a missing installed
# file, or when README does not name VERSION.
foreach(variable WORK_DIR VERSION PLUGIN_DIR GENERATOR)
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

set(host_build ${WORK_DIR}/host)
file(REMOVE_RECURSE ${WORK_DIR})
if(PREFIX)
  set(prefix ${PREFIX})
elseif(BUILD_DIR)
  set(prefix ${WORK_DIR}/prefix)
  run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
else()
  message(FATAL_ERROR "BUILD_DIR or PREFIX not given")
endif()
if(NOT PREFIX)
  file(GLOB_RECURSE installed RELATIVE ${prefix} ${prefix}/*)
  list(SORT installed)
  string(REPLACE ";" "\n  " listing "${installed}")
  message(STATUS "installed:\n  ${listing}")
  set(expected include/velmora/velmora.h include/velmora/plugin.h include/velmora/entry_points.h
    include/velmora/types.h share/velmora/pascal/Velmora.pas)
  if(TOOLCHAIN_FILE)
    list(APPEND expected bin/Velmora.dll lib/libVelmora.dll.a lib/Velmora.def
      lib/cmake/Velmora/VelmoraConfig.cmake lib/cmake/Velmora/VelmoraConfigVersion.cmake)
  else()
    list(APPEND expected lib/libVelmora.so lib/cmake/Velmora/VelmoraConfig.cmake
      lib/cmake/Velmora/VelmoraConfigVersion.cmake)
  endif()
  foreach(file IN LISTS expected)
    if(NOT EXISTS ${prefix}/${file})
      message(FATAL_ERROR "not installed: ${file}")
    endif()
  endforeach()
endif()

if(README)
  file(READ ${README} readme)
  string(FIND "${readme}" "Velmora ${VERSION}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${README} does not name version ${VERSION} (\"Velmora ${VERSION}\")")
  endif()
endif()

set(configure ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_LIST_DIR} -B ${host_build} -G ${GENERATOR}
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH=${prefix} -DVELMORA_EXPECTED_VERSION=${VERSION})
if(TOOLCHAIN_FILE)
  list(APPEND configure -DCMAKE_TOOLCHAIN_FILE=${TOOLCHAIN_FILE})
endif()
if(COMPILER)
  list(APPEND configure -DCMAKE_C_COMPILER=${COMPILER})
endif()
if(C_FLAGS)
  list(APPEND configure "-DCMAKE_C_FLAGS=${C_FLAGS}")
endif()
if(LINKER_FLAGS)
  list(APPEND configure "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
endif()
run("configuring the host" ${configure})
run("building the host" ${CMAKE_COMMAND} --build ${host_build})

file(GLOB host_program ${host_build}/velmora-c-host ${host_build}/velmora-c-host.exe)
if(NOT host_program)
  message(FATAL_ERROR "no host program in ${host_build}")
endif()
string(REPLACE "|" ";" runner "${RUNNER}")
run("the host" ${runner} ${host_program} ${PLUGIN_DIR})
