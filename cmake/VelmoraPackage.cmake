# What a host gets from the library's build and install: the version resource and import
# libraries (mingw and MSVC formats) of the Windows DLL, the soname of the Linux library,
# the installed files and the CMake package Velmora::Velmora. Included from
# src/CMakeLists.txt, where the target Velmora is made; what else a release ships is in
# cmake/VelmoraRelease.cmake.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Hosts inside this build use the name a host outside it gets from the package.
add_library(Velmora::Velmora ALIAS Velmora)
target_include_directories(Velmora INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

if(WIN32)
  configure_file(${PROJECT_SOURCE_DIR}/src/api/velmora.rc.in ${CMAKE_CURRENT_BINARY_DIR}/velmora.rc @ONLY)
  target_sources(Velmora PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/velmora.rc)

  # The module-definition file for hosts, and on 32-bit Windows the import library made from
  # it in place of the linker's, whose undecorated names no stdcall caller asks for.
  set(VELMORA_HOST_DEF ${CMAKE_BINARY_DIR}/lib/Velmora.def CACHE INTERNAL "Velmora.def for hosts")
  find_program(LLVM_DLLTOOL llvm-dlltool REQUIRED)
  set(import_library_arguments)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(import_library_arguments -DDLLTOOL=${CMAKE_DLLTOOL} -DIMPORT_LIBRARY=$<TARGET_LINKER_FILE:Velmora>)
    # -k: the decorated names are asked of the DLL without their decoration.
    set(msvc_machine -m i386 -k)
  else()
    set(msvc_machine -m i386:x86-64)
  endif()
  add_custom_command(TARGET Velmora POST_BUILD
    COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DEXPORTS=${PROJECT_SOURCE_DIR}/src/api/velmora.def
      "-DOBJECTS=$<JOIN:$<FILTER:$<TARGET_OBJECTS:Velmora>,INCLUDE,\\.cpp\\.obj$>,|>"
      -DOUTPUT=${VELMORA_HOST_DEF} ${import_library_arguments}
      -P ${PROJECT_SOURCE_DIR}/cmake/VelmoraImportLibrary.cmake
    # The same names in the import library format of MSVC's linker, Velmora.lib.
    COMMAND ${LLVM_DLLTOOL} ${msvc_machine} -d ${VELMORA_HOST_DEF} -l ${CMAKE_BINARY_DIR}/lib/Velmora.lib
    VERBATIM)
else()
  # 0.x: a new minor version may change the interface, so the soname carries it.
  set_target_properties(Velmora PROPERTIES VERSION ${PROJECT_VERSION}
    SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
endif()

install(TARGETS Velmora EXPORT VelmoraTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/velmora DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/bindings/pascal/Velmora.pas
  DESTINATION ${CMAKE_INSTALL_DATADIR}/velmora/pascal)
if(WIN32)
  install(FILES ${VELMORA_HOST_DEF} ${CMAKE_BINARY_DIR}/lib/Velmora.lib DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

set(VELMORA_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Velmora)
install(EXPORT VelmoraTargets NAMESPACE Velmora:: DESTINATION ${VELMORA_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VelmoraConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/VelmoraConfig.cmake INSTALL_DESTINATION ${VELMORA_CMAKE_DIR})
# 0.x: a new minor version may change the interface.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/VelmoraConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/VelmoraConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/VelmoraConfigVersion.cmake DESTINATION ${VELMORA_CMAKE_DIR})
