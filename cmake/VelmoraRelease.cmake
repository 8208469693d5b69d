# What a release ships besides the library and its SDK (cmake/VelmoraPackage.cmake): the
# programs, the sample plug-in, the docs, the pkg-config file, and the CPack settings that
# turn an install into the packages of `make package` (scripts/make-packages.sh). Included
# at the end of the top-level CMakeLists.txt, once every shipped target exists.
#
# Layout: Windows keeps everything a host developer expects in one folder (bin/ with the
# DLL and the programs, lib/, include/, docs/ and the README at the top); Linux follows
# the file-system hierarchy below the prefix (/usr for the Debian package).

# The programs shipped beside the library: on Windows in bin/ next to Velmora.dll, on Linux
# in bin/ (the probe finds the library in the prefix's library folder). velmora-validate
# needs no library beside it: it carries the library's discovery code itself.
set(velmora_programs velmora-probe velmora-validate)
if(WIN32)
  # The demo loads Velmora.dll from its own folder and drives the built sample plug-in in
  # plugins/sample below it; on Linux both would have to sit in bin/.
  list(APPEND velmora_programs velmora-demo)
endif()
install(TARGETS ${velmora_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The helper process that examines candidate plug-ins, where the library looks for it:
# beside Velmora.dll, or in a velmora/ folder beside libVelmora.so (a private program).
if(WIN32)
  install(TARGETS velmora-scan-helper RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
else()
  install(TARGETS velmora-scan-helper RUNTIME DESTINATION ${CMAKE_INSTALL_LIBDIR}/velmora)
endif()

# The sample plug-in, as source for plug-in authors everywhere and built where the demo runs.
# A built one is not installed on Linux: in the system plug-in folder every host would
# find the simulated server.
install(FILES ${PROJECT_SOURCE_DIR}/plugins/sample/sample_plugin.cpp
  ${PROJECT_SOURCE_DIR}/plugins/sample/sample_plugin.h
  DESTINATION ${CMAKE_INSTALL_DATADIR}/velmora/sample-plugin)
if(WIN32)
  install(TARGETS sample_plugin LIBRARY DESTINATION ${CMAKE_INSTALL_BINDIR}/plugins/sample)
endif()

if(WIN32)
  set(velmora_doc_dir .)
else()
  set(velmora_doc_dir ${CMAKE_INSTALL_DATADIR}/doc/velmora)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
  DESTINATION ${velmora_doc_dir})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION ${velmora_doc_dir}/docs)

if(NOT WIN32)
  # pkg-config: relocatable, so the same file serves /usr, a tarball unpacked anywhere and
  # a scratch root the Debian package was unpacked into.
  set(pkgconfig_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
  file(RELATIVE_PATH VELMORA_PC_PREFIX /${pkgconfig_dir} /)
  string(REGEX REPLACE "/$" "" VELMORA_PC_PREFIX "\${pcfiledir}/${VELMORA_PC_PREFIX}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/velmora.pc.in ${CMAKE_BINARY_DIR}/velmora.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/velmora.pc DESTINATION ${pkgconfig_dir})

  # The documented system plug-in folder, when it lies below the prefix (/usr/lib/velmora).
  file(RELATIVE_PATH system_plugin_dir ${CMAKE_INSTALL_PREFIX} ${VELMORA_SYSTEM_PLUGIN_DIR})
  if(NOT system_plugin_dir MATCHES "^\\.\\./" AND NOT IS_ABSOLUTE "${system_plugin_dir}")
    install(DIRECTORY DESTINATION ${system_plugin_dir})
  endif()
endif()

# CPack: archives named Velmora-<version>-<platform>, and on Linux a Debian package.
set(CPACK_PACKAGE_NAME Velmora)
set(CPACK_PACKAGE_VENDOR "Velmora developers")
set(CPACK_PACKAGE_CONTACT "Velmora developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Drives network video servers of many makers through vendor plug-ins")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(WIN32)
  math(EXPR bits "${CMAKE_SIZEOF_VOID_P} * 8")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME Velmora-${PROJECT_VERSION}-win${bits})
else()
  set(CPACK_GENERATOR DEB TGZ)
  set(CPACK_PACKAGE_FILE_NAME Velmora-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
  set(CPACK_DEBIAN_PACKAGE_NAME velmora)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}
 The library, its headers, CMake package and pkg-config file, the Pascal unit,
 velmora-probe, velmora-validate and the documentation. Plug-ins for all users go to
 ${VELMORA_SYSTEM_PLUGIN_DIR}.")
endif()
include(CPack)
