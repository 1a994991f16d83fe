# Makes mdsdriver's Windows Installer package (cmake -P, at build time):
#
#   -DVERSION=<x.y.z> -DSOURCE_DIR=<tree> -DHEADER=<mds_version.h> -DWORK_DIR=<folder>
#   -DEXE=<mdsdriver.exe> -DLIBRARY=<difxapi_x64.dll> -DACTIONS=<mdsdriver_msi.dll>
#   -DOUTPUT=<package.msi> [-DEXTRA_SQL=<statements run after tables.sql>]
#
# wixl builds it from mdsdriver.wxs; msibuild then runs tables.sql (what wixl
# cannot write), gives the binaries their file version, and pins the summary. The same inputs give the same bytes:
# - the product code is derived from the version (name-based UUID), so each
#   version has its own and every build of one version has the same;
# - the package code is derived from the package's own bytes, made first with
#   a zero package code;
# - wixl writes the clock's time into the summary and the cabinet, so it runs
#   under faketime at the source's time: SOURCE_DATE_EPOCH, else the commit's
#   time, else 1980-01-01. The clock stands still there (faketime -f with an
#   absolute time): a clock that ran on from it gave a run that took more than
#   a second a later time, and so other bytes.
cmake_minimum_required(VERSION 3.20)

# Windows Installer compares major.minor.build (at most 255.255.65535) and
# ignores a fourth field, so a version that differs only there would not upgrade.
if(NOT VERSION MATCHES "^([0-9]+)\\.([0-9]+)(\\.([0-9]+))?(\\.0+)?$" OR CMAKE_MATCH_1 GREATER 255
   OR CMAKE_MATCH_2 GREATER 255 OR CMAKE_MATCH_4 GREATER 65535)
  message(FATAL_ERROR "version '${VERSION}' is no Windows Installer product version (major.minor.build, at most 255.255.65535)")
endif()
set(product_version "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${CMAKE_MATCH_4}")
if(CMAKE_MATCH_4 STREQUAL "")
  set(product_version "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.0")
endif()

# Names the UUIDs made here; fixed for good, as the upgrade code is.
set(namespace 1D876CCD-5EE2-4166-AEAB-35AADF4E1DF3)
string(UUID product_code NAMESPACE ${namespace} NAME "product ${product_version}" TYPE SHA1 UPPER)

file(STRINGS ${HEADER} company REGEX "^#define MDS_COMPANY ")
string(REGEX REPLACE "^#define MDS_COMPANY \"(.*)\"$" "\\1" company "${company}")
# The binaries' own file version (the same numbers as their resource), which
# the File table must carry: Windows Installer never replaces a versioned file
# with one the package lists without a version, so an upgrade would keep the
# older binaries. Versioned files have no hash row.
file(STRINGS ${HEADER} file_version REGEX "^#define MDS_VERSION_DOTTED ")
string(REGEX REPLACE "^#define MDS_VERSION_DOTTED \"(.*)\"$" "\\1" file_version "${file_version}")
set(versioned_files
  "UPDATE `File` SET `Version` = '${file_version}', `Language` = '1033' WHERE `File` = 'mdsdriver.exe'"
  "UPDATE `File` SET `Version` = '${file_version}', `Language` = '1033' WHERE `File` = 'difxapi_x64.dll'"
  "DELETE FROM `MsiFileHash` WHERE `File_` = 'mdsdriver.exe'"
  "DELETE FROM `MsiFileHash` WHERE `File_` = 'difxapi_x64.dll'")

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git -c safe.directory=${SOURCE_DIR} -C ${SOURCE_DIR} log -1 --format=%ct
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    set(epoch 315532800)
  endif()
endif()
if(NOT epoch MATCHES "^[0-9]+$" OR epoch LESS 315532800)
  message(FATAL_ERROR "unusable SOURCE_DATE_EPOCH '${epoch}' (the package's times cannot be before 1980)")
endif()
set(ENV{SOURCE_DATE_EPOCH} ${epoch})
string(TIMESTAMP clock "%Y-%m-%d %H:%M:%S" UTC)
set(ENV{TZ} UTC)

# Runs one command in WORK_DIR (arguments one a line, as execute_process
# takes them, so a ";" inside one stays) and stops at its failure.
macro(check what)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${what}: ${status}\n${errors}")
  endif()
endmacro()

# wixl takes its sources by plain name from the folder it runs in. The files'
# own times go into the cabinet, so they carry the source's time too.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
file(COPY ${EXE} ${LIBRARY} DESTINATION ${WORK_DIR})
file(COPY_FILE ${ACTIONS} ${WORK_DIR}/mdsdriver_msi.dll)
file(WRITE ${WORK_DIR}/vezazez.cfg "")
execute_process(COMMAND touch -d @${epoch} mdsdriver.exe difxapi_x64.dll mdsdriver_msi.dll vezazez.cfg
  WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE status ERROR_VARIABLE errors)
check("touch")

set(msi ${WORK_DIR}/package.msi)
execute_process(COMMAND faketime -f "${clock}" wixl -a x64 -o ${msi} -D Version=${product_version}
  -D ProductCode=${product_code} -D "Manufacturer=${company}" ${CMAKE_CURRENT_LIST_DIR}/mdsdriver.wxs
  WORKING_DIRECTORY ${WORK_DIR} RESULT_VARIABLE status ERROR_VARIABLE errors)
check("wixl")
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/tables.sql statements REGEX "^[^-]")
if(EXTRA_SQL)
  file(STRINGS ${EXTRA_SQL} extra_statements REGEX "^[^-]")
  list(APPEND statements ${extra_statements})
endif()
foreach(statement IN LISTS statements versioned_files)
  execute_process(COMMAND faketime -f "${clock}" msibuild ${msi} -q "${statement}"
    RESULT_VARIABLE status ERROR_VARIABLE errors)
  check("msibuild -q ${statement}")
endforeach()

# The summary's subject, author and template, then the package code.
foreach(code 00000000-0000-0000-0000-000000000000 derived)
  if(code STREQUAL "derived")
    file(SHA256 ${msi} content)
    string(UUID code NAMESPACE ${namespace} NAME "package ${content}" TYPE SHA1 UPPER)
    set(package_code ${code})
  endif()
  execute_process(COMMAND faketime -f "${clock}" msibuild ${msi} -s mdsdriver "${company}" "x64;1033" "{${code}}"
    RESULT_VARIABLE status ERROR_VARIABLE errors)
  check("msibuild -s")
endforeach()

file(RENAME ${msi} ${OUTPUT})
message(STATUS "${OUTPUT}: product version ${product_version}, product code {${product_code}}, package code {${package_code}}")
