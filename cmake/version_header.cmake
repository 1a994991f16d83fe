# Writes the header the version resources are built from (cmake -P, at every
# build). The version is the one scripts/release names the archive after:
# MDS_VERSION when given, otherwise `git describe --tags --always --dirty` of
# SOURCE_DIR. The header is rewritten only when it changes, so an unchanged
# version rebuilds nothing.
#
#   -DSOURCE_DIR=<tree> -DOUTPUT=<header> [-DMDS_VERSION=<text>]
#
# The numeric file version (four numbers up to 65535) is read from the text:
# a tag's first three numbers, with or without a leading "v", and the number
# of commits since the tag that git describe adds ("v1.2.0-5-g1a2b3c4" is
# 1.2.0.5); a tag of four numbers gives all four. A bare commit, which git
# describe gives before the first tag, and a text that starts with no number
# are 0.0.0.0.
cmake_minimum_required(VERSION 3.20)

set(text "${MDS_VERSION}")
if(text STREQUAL "")
  execute_process(
    COMMAND git -c safe.directory=${SOURCE_DIR} -C ${SOURCE_DIR} describe --tags --always --dirty
    OUTPUT_VARIABLE text OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    set(text "unknown")
  endif()
endif()
# The rule scripts/release applies to the archive's name; it also keeps the
# text a plain string for the resource compiler.
if(NOT text MATCHES "^[A-Za-z0-9][A-Za-z0-9._+-]*$")
  message(FATAL_ERROR "unusable version '${text}'")
endif()

set(numbers 0 0 0 0)
if(text MATCHES "^[0-9a-f]+(-dirty)?$")
  # A bare commit, before any tag: its digits are no version.
elseif(text MATCHES "^[vV]?([0-9]+)(\\.([0-9]+))?(\\.([0-9]+))?(\\.([0-9]+))?")
  set(numbers "${CMAKE_MATCH_1}" "${CMAKE_MATCH_3}" "${CMAKE_MATCH_5}" "${CMAKE_MATCH_7}")
  if("${CMAKE_MATCH_7}" STREQUAL "" AND text MATCHES "-([0-9]+)-g[0-9a-f]+(-dirty)?$")
    list(REMOVE_AT numbers 3)
    list(APPEND numbers "${CMAKE_MATCH_1}")
  endif()
endif()
set(fields "")
foreach(number IN LISTS numbers)
  if(number STREQUAL "")
    set(number 0)
  endif()
  # A version field is 16 bits wide; a longer number would wrap silently.
  if(NOT number MATCHES "^[0-9]+$" OR number GREATER 65535)
    message(FATAL_ERROR "version '${text}': ${number} does not fit a file version's 16-bit field")
  endif()
  math(EXPR number "${number}") # no leading zeros
  list(APPEND fields ${number})
endforeach()
string(REPLACE ";" "," commas "${fields}")
string(REPLACE ";" "." dotted "${fields}")

# The licence's copyright line, and its holder for the company name.
file(STRINGS ${SOURCE_DIR}/LICENSE copyright REGEX "^Copyright " LIMIT_COUNT 1)
if(NOT copyright MATCHES "^Copyright \\([cC]\\) [0-9, -]+ ([^\"\\]+)$")
  message(FATAL_ERROR "no usable copyright line in ${SOURCE_DIR}/LICENSE: '${copyright}'")
endif()
set(holder "${CMAKE_MATCH_1}")

set(header "// Made by cmake/version_header.cmake.
#define MDS_VERSION_TEXT \"${text}\"
#define MDS_VERSION_NUMBERS ${commas}
#define MDS_VERSION_DOTTED \"${dotted}\"
#define MDS_COPYRIGHT \"${copyright}\"
#define MDS_COMPANY \"${holder}\"
")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
endif()
if(NOT old STREQUAL header)
  file(WRITE ${OUTPUT} "${header}")
endif()
