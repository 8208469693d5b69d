# cmake -DTEXT=usage.txt -DPROGRAM=name -DVERSION=x.y.z -DHEADER=usage.h -DPAGE=name.1
#       -P VelmoraUsageText.cmake
#
# A program's usage text is the one source of its --help and of its manual page: writes
# HEADER, which holds the text as velmora::tools::kUsage, and PAGE, the section-1 page made
# from it. The text reads:
#
#   usage: PROGRAM ARGUMENTS              the synopsis, one line per form, the further
#          PROGRAM ARGUMENTS              forms indented
#
#   What the program does, in a sentence. the page's NAME line and first paragraph
#
#   Paragraphs.                           the rest of the DESCRIPTION
#
#   Heading:                              a section: OPTIONS, ENVIRONMENT, EXIT STATUS...
#     TERM  text                          an item: a term indented by two spaces, two or
#           more text                     more spaces, its text; deeper lines continue it
#
# A term is an option with its argument, a variable or a value; a line that fits none of
# these fails the build rather than making a page that differs from --help.
cmake_policy(VERSION 3.25)
foreach(variable TEXT PROGRAM VERSION HEADER PAGE)
  if(NOT DEFINED ${variable})
    message(FATAL_ERROR "${variable} not given")
  endif()
endforeach()

file(READ ${TEXT} text)
string(REPLACE "\r" "" text "${text}")
string(REGEX REPLACE "\n+$" "" text "${text}")

# The lines as a list: the characters lists treat specially are held as control characters
# meanwhile.
string(ASCII 1 semicolon)
string(ASCII 2 open_bracket)
string(ASCII 3 close_bracket)
function(restore variable)
  set(value "${${variable}}")
  string(REPLACE "${semicolon}" ";" value "${value}")
  string(REPLACE "${open_bracket}" "[" value "${value}")
  string(REPLACE "${close_bracket}" "]" value "${value}")
  set(${variable} "${value}" PARENT_SCOPE)
endfunction()
string(REPLACE ";" "${semicolon}" listed "${text}")
string(REPLACE "[" "${open_bracket}" listed "${listed}")
string(REPLACE "]" "${close_bracket}" listed "${listed}")
string(REPLACE "\n" ";" lines "${listed}")

function(fail message)
  message(FATAL_ERROR "${TEXT}: ${message}")
endfunction()

# ---- The header: the text as a C string, line by line.

get_filename_component(text_name ${TEXT} NAME)
set(header "// Made from ${text_name} at build time: --help prints it, and the manual page says the same.\n")
string(APPEND header "#pragma once\n\nnamespace velmora::tools {\n\ninline constexpr char kUsage[] =")
foreach(line IN LISTS lines)
  restore(line)
  string(REPLACE "\\" "\\\\" line "${line}")
  string(REPLACE "\"" "\\\"" line "${line}")
  string(APPEND header "\n    \"${line}\\n\"")
endforeach()
string(APPEND header ";\n\n}  // namespace velmora::tools\n")

# ---- The page.

# Text for roff: backslashes shown as such, the hyphens of options as minus signs, and no
# line taken for a request.
function(roff variable)
  set(value "${${variable}}")
  string(REPLACE "\\" "\\e" value "${value}")
  set(words)
  string(REPLACE " " ";" pieces "${value}")
  foreach(word IN LISTS pieces)
    if(word MATCHES "^(${open_bracket}|\\(|\\|)*-")
      string(REPLACE "-" "\\-" word "${word}")
    endif()
    list(APPEND words "${word}")
  endforeach()
  string(JOIN " " value ${words})
  if(value MATCHES "^[.']")
    set(value "\\&${value}")
  endif()
  restore(value)
  set(${variable} "${value}" PARENT_SCOPE)
endfunction()

# A term: its first word bold, the argument after it in italics.
function(roff_term variable)
  set(term "${${variable}}")
  if(term MATCHES "^([^ ]+) (.+)$")
    set(first "${CMAKE_MATCH_1}")
    set(rest "${CMAKE_MATCH_2}")
    roff(first)
    roff(rest)
    set(term "\\fB${first}\\fR \\fI${rest}\\fR")
  else()
    roff(term)
    set(term "\\fB${term}\\fR")
  endif()
  set(${variable} "${term}" PARENT_SCOPE)
endfunction()

set(name_escaped "${PROGRAM}")
roff(name_escaped)
string(TOUPPER "${name_escaped}" title)
set(page ".TH ${title} 1 \"\" \"Velmora ${VERSION}\" \"User Commands\"\n")

list(POP_FRONT lines first)
if(NOT first MATCHES "^usage: ${PROGRAM}( (.*))?$")
  fail("the first line is not \"usage: ${PROGRAM} ...\"")
endif()
set(synopsis "${CMAKE_MATCH_2}")
roff(synopsis)
set(synopsis_lines "\\fB${name_escaped}\\fR ${synopsis}")
while(lines)
  list(GET lines 0 line)
  if(NOT line MATCHES "^ +${PROGRAM}( (.*))?$")
    break()
  endif()
  set(arguments "${CMAKE_MATCH_2}")
  roff(arguments)
  string(APPEND synopsis_lines "\n.br\n\\fB${name_escaped}\\fR ${arguments}")
  list(POP_FRONT lines)
endwhile()

# The summary: one sentence on a line of its own after the synopsis.
list(APPEND lines "" "" "")
list(POP_FRONT lines blank summary after)
if(NOT blank STREQUAL "" OR NOT after STREQUAL "" OR NOT summary MATCHES "^[A-Z].*\\.$")
  fail("no sentence saying what ${PROGRAM} does on a line of its own after the synopsis")
endif()
string(REGEX REPLACE "\\.$" "" whatis "${summary}")
string(SUBSTRING "${whatis}" 0 1 initial)
string(SUBSTRING "${whatis}" 1 -1 whatis_rest)
string(TOLOWER "${initial}" initial)
set(whatis "${initial}${whatis_rest}")
roff(whatis)
roff(summary)
string(APPEND page ".SH NAME\n${name_escaped} \\- ${whatis}\n.SH SYNOPSIS\n${synopsis_lines}\n")
string(APPEND page ".SH DESCRIPTION\n${summary}\n")

# The rest: paragraphs, headings and their items.
set(in_item FALSE)
set(paragraph_open FALSE)
foreach(line IN LISTS lines)
  if(line STREQUAL "")
    set(in_item FALSE)
    set(paragraph_open FALSE)
  elseif(line MATCHES "^([A-Z][A-Za-z ]*):$")
    string(TOUPPER "${CMAKE_MATCH_1}" heading)
    if(heading MATCHES " ")
      set(heading "\"${heading}\"")
    endif()
    string(APPEND page ".SH ${heading}\n")
    set(in_item FALSE)
    set(paragraph_open TRUE)
  elseif(line MATCHES "^  ([^ ]+( [^ ]+)*)  +([^ ].*)$")
    set(term "${CMAKE_MATCH_1}")
    set(item_text "${CMAKE_MATCH_3}")
    roff_term(term)
    roff(item_text)
    string(APPEND page ".TP\n${term}\n${item_text}\n")
    set(in_item TRUE)
  elseif(in_item AND line MATCHES "^   +([^ ].*)$")
    set(item_text "${CMAKE_MATCH_1}")
    roff(item_text)
    string(APPEND page "${item_text}\n")
  elseif(line MATCHES "^[^ ]")
    if(NOT paragraph_open)
      string(APPEND page ".PP\n")
      set(paragraph_open TRUE)
    endif()
    roff(line)
    string(APPEND page "${line}\n")
  else()
    restore(line)
    fail("cannot place this line on the manual page: \"${line}\"")
  endif()
endforeach()

file(WRITE ${HEADER} "${header}")
file(WRITE ${PAGE} "${page}")
