# Writes the header the version resources are built from (cmake -P, at every
# build). The version is the project's, set once in CMakeLists.txt; the
# release archive is named after it and the newest release in CHANGELOG.md
# carries it. The header is rewritten only when it changes, so an unchanged
# version rebuilds nothing.
#
#   -DVERSION=<project version> -DSOURCE_DIR=<tree> -DOUTPUT=<header> [-DMDS_COMMIT=<commit>]
#
# File version: the project version's numbers, padded to four (0.2.0 is
# 0.2.0.0), the same in every build. Product version: the project version,
# then "+" and the commit built (its first 12 hex digits, and ".dirty" when
# tracked files differ from it), such as 0.2.0+1a2b3c4d5e6f. The commit is
# MDS_COMMIT when given (scripts/release builds a copy without git), otherwise
# the git commit of SOURCE_DIR; without git the product version is the
# project version alone.
cmake_minimum_required(VERSION 3.20)

if(NOT VERSION MATCHES "^[0-9]+(\\.[0-9]+)?(\\.[0-9]+)?(\\.[0-9]+)?$")
  message(FATAL_ERROR "unusable version '${VERSION}'")
endif()
string(REPLACE "." ";" numbers "${VERSION}")
list(LENGTH numbers count)
while(count LESS 4)
  list(APPEND numbers 0)
  math(EXPR count "${count} + 1")
endwhile()
set(fields "")
foreach(number IN LISTS numbers)
  # A version field is 16 bits wide; a longer number would wrap silently.
  if(number GREATER 65535)
    message(FATAL_ERROR "version '${VERSION}': ${number} does not fit a file version's 16-bit field")
  endif()
  math(EXPR number "${number}") # no leading zeros
  list(APPEND fields ${number})
endforeach()
string(REPLACE ";" "," commas "${fields}")
string(REPLACE ";" "." dotted "${fields}")

set(commit "${MDS_COMMIT}")
if(commit STREQUAL "")
  set(git git -c safe.directory=${SOURCE_DIR} -C ${SOURCE_DIR})
  execute_process(COMMAND ${git} rev-parse HEAD
    OUTPUT_VARIABLE head OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE status)
  if(status EQUAL 0 AND head MATCHES "^[0-9a-f]+$")
    string(SUBSTRING "${head}" 0 12 commit)
    execute_process(COMMAND ${git} status --porcelain --untracked-files=no
      OUTPUT_VARIABLE changes ERROR_QUIET RESULT_VARIABLE status)
    if(NOT status EQUAL 0 OR NOT changes STREQUAL "")
      string(APPEND commit ".dirty")
    endif()
  endif()
endif()
# The text goes into a resource string as it stands.
if(NOT commit MATCHES "^([0-9a-f]+(\\.dirty)?)?$")
  message(FATAL_ERROR "unusable commit '${commit}'")
endif()
set(product "${VERSION}")
if(NOT commit STREQUAL "")
  string(APPEND product "+${commit}")
endif()

# The licence's copyright line, and its holder for the company name.
file(STRINGS ${SOURCE_DIR}/LICENSE copyright REGEX "^Copyright " LIMIT_COUNT 1)
if(NOT copyright MATCHES "^Copyright \\([cC]\\) [0-9, -]+ ([^\"\\]+)$")
  message(FATAL_ERROR "no usable copyright line in ${SOURCE_DIR}/LICENSE: '${copyright}'")
endif()
set(holder "${CMAKE_MATCH_1}")

set(header "// Made by cmake/version_header.cmake.
#define MDS_VERSION_TEXT \"${VERSION}\"
#define MDS_PRODUCT_VERSION \"${product}\"
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
