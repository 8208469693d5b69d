# The Debian packages of a build installed below /usr (preset package-linux): the source of
# their debian/ folder is packaging/debian/, configured here into deb/debian/ of the build
# tree, where scripts/make-packages.sh has debhelper pack this build's install into
#
#   libvelmora<major>.<minor>   the library and its helper process, named after the soname
#   libvelmora-dev              headers, the .so link, CMake package, pkg-config file, the
#                               Pascal unit, the sample plug-in's source, the documentation
#   velmora-tools               the programs for users with their manual pages
#
# Included from cmake/VelmoraRelease.cmake.
set(VELMORA_MAINTAINER "Velmora developers <developers@velmora.org>" CACHE STRING
  "Maintainer of the Debian packages: name <address>")
set(VELMORA_SOVERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
set(debian_source ${PROJECT_SOURCE_DIR}/packaging/debian)
set(debian_dir ${CMAKE_BINARY_DIR}/deb/debian)

# The packages take their version from the changelog's latest entry: it must be this one.
file(STRINGS ${debian_source}/changelog latest_entry LIMIT_COUNT 1)
if(NOT latest_entry MATCHES "^velmora \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/debian/changelog: the latest entry is not for ${PROJECT_VERSION}: "
    "\"${latest_entry}\"")
endif()

# The copyright file holds LICENSE: its copyright line and its text.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
if(NOT licence MATCHES "\nCopyright \\(c\\) ([^\n]+)\n\n(Permission .+)$")
  message(FATAL_ERROR "LICENSE: no copyright line followed by the permission notice")
endif()
set(VELMORA_COPYRIGHT "${CMAKE_MATCH_1}")
string(STRIP "${CMAKE_MATCH_2}" VELMORA_LICENSE_TEXT)
string(REPLACE "\n\n" "\n.\n" VELMORA_LICENSE_TEXT "${VELMORA_LICENSE_TEXT}")
string(REPLACE "\n" "\n " VELMORA_LICENSE_TEXT " ${VELMORA_LICENSE_TEXT}")

# The tools package says what each program does, in the sentence of its usage text,
# wrapped as a paragraph of the description.
get_property(tools GLOBAL PROPERTY VELMORA_TOOLS)
set(VELMORA_TOOL_SUMMARIES)
foreach(tool IN LISTS tools)
  get_target_property(summary ${tool} VELMORA_SUMMARY)
  string(SUBSTRING "${summary}" 0 1 initial)
  string(SUBSTRING "${summary}" 1 -1 rest)
  string(TOLOWER "${initial}" initial)
  string(REPLACE " " ";" words "${tool} ${initial}${rest}")
  set(line)
  string(APPEND VELMORA_TOOL_SUMMARIES " .\n")
  foreach(word IN LISTS words)
    string(LENGTH "${line} ${word}" length)
    if(line AND length GREATER 79)
      string(APPEND VELMORA_TOOL_SUMMARIES "${line}\n")
      set(line)
    endif()
    string(APPEND line " ${word}")
  endforeach()
  string(APPEND VELMORA_TOOL_SUMMARIES "${line}\n")
endforeach()
string(STRIP "${VELMORA_TOOL_SUMMARIES}" VELMORA_TOOL_SUMMARIES)
set(VELMORA_TOOL_SUMMARIES " ${VELMORA_TOOL_SUMMARIES}")

file(RELATIVE_PATH VELMORA_SYSTEM_PLUGIN_DIR_IN_ROOT / ${VELMORA_SYSTEM_PLUGIN_DIR})

# Afresh on every configuration, so that no file of an earlier version's packages stays.
file(REMOVE_RECURSE ${CMAKE_BINARY_DIR}/deb)
file(GLOB templates RELATIVE ${debian_source} ${debian_source}/*)
foreach(template IN LISTS templates)
  string(CONFIGURE "${template}" file @ONLY)
  configure_file(${debian_source}/${template} ${debian_dir}/${file} @ONLY)
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE
  ${debian_source})
