# cmake -DSTEP=... -DARCHIVE=... -DWORK_DIR=... [step's variables] -P package_test.cmake
#
# One check of a release package, on a fresh copy unpacked into WORK_DIR (.deb files with
# dpkg-deb -x, as into a throw-away root, ARCHIVE naming one or several as a|b; a .zip or
# .tar.gz as a user unpacks it):
#
#   listing       the unpacked files equal the CONTENTS list for KIND (windows, linux, or
#                 the Debian package's name), and the licence is LICENSE
#   lintian       lintian finds no error and no warning in the .deb
#   manual        every program in bin/ has a manual page that lists the options its
#                 --help lists
#   find_package  tests/package_host built against the unpacked package with its CMake
#                 package, then run against PLUGIN_DIR ([TOOLCHAIN_FILE, LINKER_FLAGS, RUNNER])
#   msvc          tests/package_host/msvc_host.c linked by LINKER against the packaged
#                 Velmora.lib and run beside the packaged DLL (BITS, CC, DLLTOOL, RUNNER)
#   demo          the packaged demo run from the unpacked bin/ with its sample plug-in (RUNNER)
#   pkg_config    a C host compiled by CC with the flags pkg-config gives for velmora.pc,
#                 then run against PLUGIN_DIR
#   probe         the packaged velmora-probe --init over PLUGIN_DIR ([RUNNER]), the
#                 library finding its helper process where the package put it
#   validate      the packaged velmora-validate at level 5 over PLUGIN, by default the packaged
#                 sample plug-in ([RUNNER])
foreach(variable STEP ARCHIVE WORK_DIR)
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

string(REPLACE "|" ";" archives "${ARCHIVE}")
foreach(archive IN LISTS archives)
  if(NOT EXISTS ${archive})
    message(FATAL_ERROR "${archive} missing: make package first")
  endif()
endforeach()
if(PLUGIN_DIR AND NOT IS_DIRECTORY ${PLUGIN_DIR})
  message(FATAL_ERROR "${PLUGIN_DIR} missing: build the test preset it belongs to first")
endif()
file(REMOVE_RECURSE ${WORK_DIR})
set(unpacked ${WORK_DIR}/unpacked)
file(MAKE_DIRECTORY ${unpacked})
if(ARCHIVE MATCHES "\\.deb$")
  foreach(archive IN LISTS archives)
    run("dpkg-deb -x" dpkg-deb -x ${archive} ${unpacked})
  endforeach()
  set(top ${unpacked}/usr)
else()
  run("unpacking" ${CMAKE_COMMAND} -E chdir ${unpacked} ${CMAKE_COMMAND} -E tar xf ${ARCHIVE})
  # Archives hold one folder named after themselves.
  file(GLOB top LIST_DIRECTORIES true ${unpacked}/*)
  list(LENGTH top folders)
  if(NOT folders EQUAL 1 OR NOT IS_DIRECTORY "${top}")
    message(FATAL_ERROR "${ARCHIVE} does not hold exactly one folder")
  endif()
endif()
string(REPLACE "|" ";" runner "${RUNNER}")

if(STEP STREQUAL "listing")
  file(STRINGS ${CONTENTS} lines REGEX "^[^#]")
  string(REGEX MATCH "^[0-9]+\\.[0-9]+" soversion ${VERSION})
  set(expected)
  foreach(line IN LISTS lines)
    string(REPLACE "<version>" ${VERSION} line "${line}")
    string(REPLACE "<soversion>" ${soversion} line "${line}")
    if(line MATCHES "^([^ \t]+)[ \t]+(.+)$" AND CMAKE_MATCH_1 STREQUAL KIND)
      list(APPEND expected ${CMAKE_MATCH_2})
    endif()
  endforeach()
  if(NOT expected)
    message(FATAL_ERROR "${CONTENTS} lists nothing for ${KIND}")
  endif()
  if(ARCHIVE MATCHES "\\.deb$")
    # The whole root: nothing may land outside /usr.
    set(top ${unpacked})
  endif()
  file(GLOB_RECURSE entries LIST_DIRECTORIES true RELATIVE ${top} ${top}/*)
  set(found)
  foreach(entry IN LISTS entries)
    if(IS_SYMLINK ${top}/${entry} OR NOT IS_DIRECTORY ${top}/${entry})
      list(APPEND found ${entry})
    else()
      file(GLOB inside ${top}/${entry}/*)
      if(NOT inside)
        list(APPEND found ${entry}/)
      endif()
    endif()
  endforeach()
  set(missing ${expected})
  list(REMOVE_ITEM missing ${found})
  set(unexpected ${found})
  list(REMOVE_ITEM unexpected ${expected})
  if(missing OR unexpected)
    list(APPEND missing "(end)")
    list(APPEND unexpected "(end)")
    string(REPLACE ";" "\n  " missing "${missing}")
    string(REPLACE ";" "\n  " unexpected "${unexpected}")
    message(FATAL_ERROR "${ARCHIVE} differs from ${CONTENTS} (${KIND}):\n"
      "missing:\n  ${missing}\nnot listed:\n  ${unexpected}")
  endif()
  list(LENGTH found count)
  message(STATUS "${ARCHIVE}: the ${count} listed entries, nothing else")

  # The licence's text: LICENSE itself, or in a Debian package its copyright file.
  if(ARCHIVE MATCHES "\\.deb$")
    file(READ ${top}/usr/share/doc/${KIND}/copyright shipped)
    string(REGEX REPLACE "\n \\.?" "\n" shipped "${shipped}")
  else()
    file(GLOB_RECURSE licence_file ${top}/LICENSE)
    file(READ ${licence_file} shipped)
  endif()
  file(READ ${SOURCE_DIR}/LICENSE licence)
  string(REGEX REPLACE "^.*\n\n(Permission )" "\\1" licence "${licence}")
  string(FIND "${shipped}" "${licence}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "${ARCHIVE}: the licence's text differs from LICENSE's")
  endif()

elseif(STEP STREQUAL "find_package")
  run("the package test" ${CMAKE_COMMAND} -DPREFIX=${top} -DWORK_DIR=${WORK_DIR}/host
    -DVERSION=${VERSION} -DPLUGIN_DIR=${PLUGIN_DIR} -DGENERATOR=${GENERATOR}
    -DTOOLCHAIN_FILE=${TOOLCHAIN_FILE} "-DLINKER_FLAGS=${LINKER_FLAGS}" "-DRUNNER=${RUNNER}"
    -P ${SOURCE_DIR}/tests/package_host/run_package_test.cmake)

elseif(STEP STREQUAL "msvc")
  run("the MSVC-linked host" ${CMAKE_COMMAND} -DDEF=${top}/lib/Velmora.def
    -DLIB=${top}/lib/Velmora.lib -DBITS=${BITS} -DCC=${CC} -DINCLUDE_DIR=${top}/include
    -DPLUGIN_DIR=${PLUGIN_DIR} -DDLLTOOL=${DLLTOOL} -DLINKER=${LINKER} -DDLL_DIR=${top}/bin
    -DWORK_DIR=${WORK_DIR}/msvc "-DRUNNER=${RUNNER}"
    -P ${SOURCE_DIR}/tests/package_host/run_msvc_import_test.cmake)

elseif(STEP STREQUAL "demo")
  file(GLOB demo ${top}/bin/velmora-demo.exe)
  if(NOT demo)
    message(FATAL_ERROR "no demo in ${top}/bin")
  endif()
  run("the demo" ${runner} ${demo})

elseif(STEP STREQUAL "pkg_config")
  set(ENV{PKG_CONFIG_PATH} ${top}/lib/x86_64-linux-gnu/pkgconfig)
  execute_process(COMMAND pkg-config --cflags --libs velmora OUTPUT_VARIABLE flags
    OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  execute_process(COMMAND pkg-config --modversion velmora OUTPUT_VARIABLE version
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT status EQUAL 0 OR NOT version STREQUAL VERSION)
    message(FATAL_ERROR "pkg-config finds no velmora ${VERSION} in $ENV{PKG_CONFIG_PATH}")
  endif()
  message(STATUS "pkg-config --cflags --libs velmora: ${flags}")
  separate_arguments(flags UNIX_COMMAND "${flags}")
  run("compiling the host" ${CC} -std=c99 -pedantic-errors -Werror
    ${SOURCE_DIR}/tests/package_host/host.c ${flags} -o ${WORK_DIR}/velmora-c-host)
  # Unpacked into a throw-away root instead of /, the library is found by path.
  set(ENV{LD_LIBRARY_PATH} ${top}/lib/x86_64-linux-gnu)
  run("the host" ${WORK_DIR}/velmora-c-host ${PLUGIN_DIR})

elseif(STEP STREQUAL "probe")
  file(GLOB probe ${top}/bin/velmora-probe ${top}/bin/velmora-probe.exe)
  if(NOT probe)
    message(FATAL_ERROR "no velmora-probe in ${top}/bin")
  endif()
  # The run-time log tells whether the library started its helper; nothing remembered
  # may stand in for it.
  set(ENV{VELMORA_LOG} stderr)
  set(ENV{VELMORA_SCAN_CACHE} off)
  execute_process(COMMAND ${runner} ${probe} --init ${PLUGIN_DIR} OUTPUT_VARIABLE output
    ERROR_VARIABLE log RESULT_VARIABLE status)
  message(STATUS "${output}")
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "velmora-probe --init failed (${status}):\n${log}")
  endif()
  if(NOT log MATCHES "helper started")
    message(FATAL_ERROR "the packaged library did not start its helper process:\n${log}")
  endif()

elseif(STEP STREQUAL "lintian")
  execute_process(COMMAND ${LINTIAN} --fail-on error,warning ${archives} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "lintian found errors or warnings (${status})")
  endif()

elseif(STEP STREQUAL "manual")
  file(GLOB programs ${top}/bin/*)
  if(NOT programs)
    message(FATAL_ERROR "no program in ${top}/bin")
  endif()
  foreach(program IN LISTS programs)
    get_filename_component(name ${program} NAME)
    file(GLOB page ${top}/share/man/man1/${name}.1 ${top}/share/man/man1/${name}.1.gz)
    if(NOT page)
      message(FATAL_ERROR "${name} has no manual page in ${top}/share/man/man1")
    elseif(page MATCHES "\\.gz$")
      execute_process(COMMAND gzip -dc ${page} OUTPUT_VARIABLE page RESULT_VARIABLE status)
    else()
      file(READ ${page} page)
    endif()
    execute_process(COMMAND ${program} --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${name} --help failed (${status})")
    endif()
    # --help's options begin the lines indented by two; the page's are the bold terms of
    # its tagged paragraphs.
    string(REGEX MATCHALL "\n  -[^ \n]+" help_options "\n${help}")
    list(TRANSFORM help_options REPLACE "^\n  " "")
    string(REPLACE "\\-" "-" page "${page}")
    string(REGEX MATCHALL "\n\\.TP\n\\\\fB-[^\\\\\n]+" page_options "\n${page}")
    list(TRANSFORM page_options REPLACE "^\n\\.TP\n\\\\fB" "")
    if(NOT help_options OR NOT page_options STREQUAL help_options)
      message(FATAL_ERROR "${name}: --help lists the options \"${help_options}\", "
        "its manual page \"${page_options}\"")
    endif()
    message(STATUS "${name}: --help and the manual page list ${help_options}")
  endforeach()

elseif(STEP STREQUAL "validate")
  file(GLOB validate ${top}/bin/velmora-validate ${top}/bin/velmora-validate.exe)
  if(NOT PLUGIN)
    file(GLOB PLUGIN ${top}/bin/plugins/sample/QXDVRSample.dll)
  endif()
  if(NOT validate OR NOT PLUGIN)
    message(FATAL_ERROR "no velmora-validate in ${top}/bin, or no plug-in to validate")
  endif()
  execute_process(COMMAND ${runner} ${validate} --level 5 ${PLUGIN} OUTPUT_VARIABLE output RESULT_VARIABLE status)
  message(STATUS "${output}")
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "velmora-validate found faults in ${PLUGIN} (${status})")
  endif()

else()
  message(FATAL_ERROR "unknown STEP ${STEP}")
endif()
