# Hosts and plug-ins written against the public interface only: a plug-in and a host in
# C (compiled as strict C99 on every target), the installed CMake package, the version
# resource of the Windows DLL and the Pascal unit (on Linux, and on 32-bit Windows with a
# Free Pascal cross-compiler). Included at the end of tests/CMakeLists.txt.

function(strict_c99 target)
  set_target_properties(${target} PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
  target_compile_options(${target} PRIVATE -pedantic-errors -Werror)
endfunction()

# The plug-ins the hosts drive: types 0 and 1 with every entry point a host reaches, type 7
# with GetServerTypeID only. Nothing but the C runtime, so hosts outside this build load them.
set(C_PLUGINS ${PLUGINS}/c)
foreach(type_id 0 1)
  velmora_add_plugin(c_plugin_${type_id} FILE QXDVRC${type_id} DIRECTORY ${C_PLUGINS}
    SOURCES fixtures/c_plugin.c DEFINES C_PLUGIN_TYPE_ID=${type_id})
endforeach()
velmora_add_plugin(c_plugin_bare FILE QXDVRCBare DIRECTORY ${C_PLUGINS}
  SOURCES fixtures/c_plugin.c DEFINES C_PLUGIN_TYPE_ID=7 C_PLUGIN_BARE)
set(c_plugins c_plugin_0 c_plugin_1 c_plugin_bare)
foreach(plugin IN LISTS c_plugins)
  strict_c99(${plugin})
endforeach()

set(host_runner)
if(WIN32)
  set(host_runner ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh ${VELMORA_WINE_ARCH})
endif()

# The C host, linked to the library as in a host's own build.
add_executable(velmora_c_host package_host/host.c)
strict_c99(velmora_c_host)
target_link_libraries(velmora_c_host PRIVATE Velmora::Velmora)
add_dependencies(velmora_c_host ${c_plugins})
if(WIN32 AND CMAKE_SIZEOF_VOID_P EQUAL 4)
  # Only the decorated names of the import library may satisfy the host's calls.
  target_link_options(velmora_c_host PRIVATE -Wl,--disable-stdcall-fixup)
endif()
add_test(NAME velmora_c_host COMMAND ${host_runner} $<TARGET_FILE:velmora_c_host> ${C_PLUGINS})

# Install, then build and run the host project of tests/package_host against the package.
set(package_test_arguments)
if(WIN32)
  set(package_runner "${PROJECT_SOURCE_DIR}/scripts/wine-run.sh|${VELMORA_WINE_ARCH}")
  set(package_linker_flags -static)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    string(APPEND package_linker_flags " -Wl,--disable-stdcall-fixup")
  endif()
  list(APPEND package_test_arguments -DTOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
    "-DLINKER_FLAGS=${package_linker_flags}" "-DRUNNER=${package_runner}")
endif()
if(VELMORA_SANITIZE)
  # The host outside the build is instrumented as everything in it: an instrumented
  # library needs the sanitizer runtime loaded first.
  string(JOIN " " sanitize_compile ${VELMORA_SANITIZER_COMPILE_OPTIONS})
  string(JOIN " " sanitize_link ${VELMORA_SANITIZER_LINK_OPTIONS})
  list(APPEND package_test_arguments -DCOMPILER=${CMAKE_C_COMPILER} "-DC_FLAGS=${sanitize_compile}"
    "-DLINKER_FLAGS=${sanitize_link}")
endif()
add_test(NAME velmora_package COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR}
  -DWORK_DIR=${CMAKE_BINARY_DIR}/package_test -DVERSION=${PROJECT_VERSION}
  -DPLUGIN_DIR=${C_PLUGINS} -DGENERATOR=${CMAKE_GENERATOR} -DREADME=${PROJECT_SOURCE_DIR}/README.md
  ${package_test_arguments} -P ${CMAKE_CURRENT_SOURCE_DIR}/package_host/run_package_test.cmake)
set_tests_properties(velmora_c_host velmora_package PROPERTIES TIMEOUT 600
  ENVIRONMENT "VELMORA_WINE_ROOT=${PROJECT_SOURCE_DIR}/build/wine")

if(WIN32)
  # An MSVC host: Velmora.lib made from Velmora.def as the README says, linked by lld-link.
  find_program(LLVM_DLLTOOL llvm-dlltool REQUIRED)
  find_program(LLD_LINK lld-link REQUIRED)
  math(EXPR bits "${CMAKE_SIZEOF_VOID_P} * 8")
  add_test(NAME velmora_msvc_import COMMAND ${CMAKE_COMMAND} -DDEF=${VELMORA_HOST_DEF}
    -DBITS=${bits} -DCC=${CMAKE_C_COMPILER} -DINCLUDE_DIR=${PROJECT_SOURCE_DIR}/include
    -DPLUGIN_DIR=${C_PLUGINS} -DDLLTOOL=${LLVM_DLLTOOL} -DLINKER=${LLD_LINK}
    -DDLL_DIR=$<TARGET_FILE_DIR:Velmora> -DWORK_DIR=${CMAKE_BINARY_DIR}/msvc_import_test
    "-DRUNNER=${PROJECT_SOURCE_DIR}/scripts/wine-run.sh|${VELMORA_WINE_ARCH}"
    -P ${CMAKE_CURRENT_SOURCE_DIR}/package_host/run_msvc_import_test.cmake)
  set_tests_properties(velmora_msvc_import PROPERTIES TIMEOUT 600
    ENVIRONMENT "VELMORA_WINE_ROOT=${PROJECT_SOURCE_DIR}/build/wine")

  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    include(${CMAKE_CURRENT_SOURCE_DIR}/pascal_host/win32.cmake)
  endif()

  # The version resource, read back through the system's version API.
  target_sources(velmora_tests PRIVATE version_resource_test.cpp)
  target_link_libraries(velmora_tests PRIVATE version)
  target_compile_definitions(velmora_tests PRIVATE VELMORA_VERSION="${PROJECT_VERSION}"
    VELMORA_VERSION_MAJOR=${PROJECT_VERSION_MAJOR} VELMORA_VERSION_MINOR=${PROJECT_VERSION_MINOR}
    VELMORA_VERSION_PATCH=${PROJECT_VERSION_PATCH})
else()
  # The Pascal unit, used by a Free Pascal host linked to libVelmora.so, with the C
  # fixture plug-ins and with the sample plug-in.
  find_program(FPC fpc REQUIRED)
  set(pascal_host ${CMAKE_BINARY_DIR}/bin/velmora-pascal-host)
  set(pascal_units ${CMAKE_CURRENT_BINARY_DIR}/pascal_host)
  add_custom_command(OUTPUT ${pascal_host}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${pascal_units}
    # -Sew: warnings fail the build; -k: where the program finds the library at run time.
    COMMAND ${FPC} -Sew -vwn -FU${pascal_units} -Fu${PROJECT_SOURCE_DIR}/bindings/pascal
      -Fl$<TARGET_FILE_DIR:Velmora> -k-rpath=$<TARGET_FILE_DIR:Velmora> -o${pascal_host}
      ${CMAKE_CURRENT_SOURCE_DIR}/pascal_host/PascalHost.pas
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/pascal_host/PascalHost.pas
      ${PROJECT_SOURCE_DIR}/bindings/pascal/Velmora.pas Velmora
    COMMENT "Building the Free Pascal host"
    VERBATIM)
  add_custom_target(velmora_pascal_host ALL DEPENDS ${pascal_host})
  add_dependencies(velmora_pascal_host ${c_plugins} sample_plugin)
  add_test(NAME velmora_pascal_host COMMAND ${pascal_host} ${C_PLUGINS} $<TARGET_FILE_DIR:sample_plugin>)
  set_tests_properties(velmora_pascal_host PROPERTIES TIMEOUT 120)
  if(VELMORA_SANITIZE)
    # Free Pascal cannot instrument the program; the runtime the library was built against
    # must come first all the same.
    if(VELMORA_SANITIZE MATCHES "thread")
      set(sanitizer_runtime libtsan.so)
    elseif(VELMORA_SANITIZE MATCHES "address")
      set(sanitizer_runtime libasan.so)
    else()
      set(sanitizer_runtime libubsan.so)
    endif()
    execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=${sanitizer_runtime}
      OUTPUT_VARIABLE sanitizer_runtime OUTPUT_STRIP_TRAILING_WHITESPACE)
    set_tests_properties(velmora_pascal_host PROPERTIES ENVIRONMENT "LD_PRELOAD=${sanitizer_runtime}")
  endif()
endif()
