# cmake -DBIN_DIR=... -DHOST=velmora_c_host.exe -DBESIDE="Velmora.dll|velmora-scan-helper.exe"
#       -DPLUGIN_DIR=... -DEXTENSION=.dll -DWORK_DIR=... -DWINDOWS=ON|OFF [-DRUNNER=a|b]
#       -P run_deep_host.cmake
#
# Runs the C host (from BIN_DIR, with the files BESIDE it) out of folders whose names hold
# Korean and Turkish letters, so deep that the host's full file name is longer than the
# 260 characters of the system's ordinary path form, and gives it no plug-in folder: the
# library must search the host's own folder, its text cut to 255 characters.
#   1. The host's folder is 250 characters long and holds the C plug-ins.
#   2. The host's folder is 260 characters long; its first 255 name another folder, which
#      holds the C plug-ins.
# Characters are counted as the system counts them: UTF-16 code units on Windows (where
# WORK_DIR is seen as Z: followed by it), bytes on Linux.
foreach(variable BIN_DIR HOST BESIDE PLUGIN_DIR EXTENSION WORK_DIR WINDOWS)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} not given")
  endif()
endforeach()
if(NOT WORK_DIR MATCHES "^[ -~]+$")
  message(FATAL_ERROR "the lengths below count WORK_DIR as ASCII: ${WORK_DIR}")
endif()

set(letters "카메라-ğ")
if(WINDOWS)
  set(letters_length 5)
  set(drive_length 2)
else()
  string(LENGTH "${letters}" letters_length)
  set(drive_length 0)
endif()

file(REMOVE_RECURSE ${WORK_DIR})
set(base ${WORK_DIR}/${letters})
string(LENGTH "${WORK_DIR}" base_length)
math(EXPR base_length "${drive_length} + ${base_length} + 1 + ${letters_length}")

# A folder below base whose path is length characters long, made of ASCII folder names of
# at most 150 characters.
function(folder_of_length length out)
  set(folder ${base})
  math(EXPR remaining "${length} - ${base_length}")
  if(remaining LESS 2)
    message(FATAL_ERROR "WORK_DIR is too long for a ${length}-character folder")
  endif()
  while(remaining GREATER 151)
    string(REPEAT "d" 100 name)
    string(APPEND folder /${name})
    math(EXPR remaining "${remaining} - 101")
  endwhile()
  math(EXPR last "${remaining} - 1")
  string(REPEAT "e" ${last} name)
  set(${out} ${folder}/${name} PARENT_SCOPE)
endfunction()

function(place files from to)
  file(MAKE_DIRECTORY ${to})
  foreach(file ${files})
    file(COPY_FILE ${from}/${file} ${to}/${file})
  endforeach()
endfunction()

function(run_host folder what)
  string(REPLACE "|" ";" runner "${RUNNER}")
  execute_process(COMMAND ${runner} ${folder}/${HOST} "" RESULT_VARIABLE status OUTPUT_VARIABLE output
    ERROR_VARIABLE output)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what}: the host in ${folder} answered ${status}:\n${output}")
  endif()
  message(STATUS "${what}: passed")
endfunction()

set(plugins QXDVRC0${EXTENSION} QXDVRC1${EXTENSION} QXDVRCBare${EXTENSION})
string(REPLACE "|" ";" programs "${HOST}|${BESIDE}")

folder_of_length(250 plain)
place("${programs}" ${BIN_DIR} ${plain})
place("${plugins}" ${PLUGIN_DIR} ${plain})
run_host(${plain} "a 250-character folder, the host's full name longer than 260")

folder_of_length(255 cut)
place("${plugins}" ${PLUGIN_DIR} ${cut})
place("${programs}" ${BIN_DIR} ${cut}-host)
run_host(${cut}-host "a 260-character folder whose first 255 characters name the plug-ins' folder")
