# What a release ships besides the library and its SDK (cmake/VelmoraPackage.cmake): the
# programs, the sample plug-in, the docs and the licence, the pkg-config file, and the
# settings that turn an install into the packages of `make package`
# (scripts/make-packages.sh): CPack's archives, and on Linux the Debian packages
# (cmake/VelmoraDebian.cmake). Included at the end of the top-level CMakeLists.txt, once
# every shipped target exists.
#
# Layout: Windows keeps everything a host developer expects in one folder (bin/ with the
# DLL and the programs, lib/, include/, docs/ and the README at the top); Linux follows
# the file-system hierarchy below the prefix (/usr for the Debian package).

# The programs for users (velmora_tool, cmake/VelmoraTool.cmake), in bin/ beside the
# library on Windows and in bin/ of the prefix on Linux, with their manual pages.
get_property(velmora_tools GLOBAL PROPERTY VELMORA_TOOLS)
install(TARGETS ${velmora_tools} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(WIN32)
  # The demo loads Velmora.dll from its own folder and drives the built sample plug-in in
  # plugins/sample below it; on Linux both would have to sit in bin/.
  install(TARGETS velmora-demo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
else()
  list(TRANSFORM velmora_tools REPLACE "(.+)" "${VELMORA_MANUAL_DIR}/man1/\\1.1" OUTPUT_VARIABLE manual_pages)
  install(FILES ${manual_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
# The helper process that examines candidate plug-ins, where the library looks for it:
# beside Velmora.dll, or in a folder of its own beside libVelmora.so (a private program,
# without a manual page: only the library starts it, and its arguments are theirs alone).
if(WIN32)
  install(TARGETS velmora-scan-helper RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
else()
  install(TARGETS velmora-scan-helper RUNTIME DESTINATION ${CMAKE_INSTALL_LIBDIR}/${VELMORA_HELPER_FOLDER})
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
  ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${velmora_doc_dir})
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

# CPack: archives named Velmora-<version>-<platform>. The Debian packages are debhelper's
# (cmake/VelmoraDebian.cmake).
set(CPACK_PACKAGE_NAME Velmora)
set(CPACK_PACKAGE_VENDOR "Velmora developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(WIN32)
  math(EXPR bits "${CMAKE_SIZEOF_VOID_P} * 8")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME Velmora-${PROJECT_VERSION}-win${bits})
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME Velmora-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    include(${PROJECT_SOURCE_DIR}/cmake/VelmoraDebian.cmake)
  endif()
endif()
include(CPack)
