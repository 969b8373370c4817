# Run by CPack on the staged files before it builds the .deb: Debian keeps the licence in
# doc/<package>/copyright, in its machine-readable form, and wants a changelog.gz in its own form.
cmake_policy(SET CMP0007 NEW)   # keep the licence's empty lines, which separate its paragraphs
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(source ${CPACK_PIXELWELL_SOURCE_DIR})
file(GLOB_RECURSE staged_license "${CPACK_TEMPORARY_DIRECTORY}/LICENSE")
list(FILTER staged_license INCLUDE REGEX "/share/doc/${CPACK_PACKAGE_NAME}/LICENSE$")
if(NOT staged_license)
  message(FATAL_ERROR "deb-papers: no doc/${CPACK_PACKAGE_NAME}/LICENSE under ${CPACK_TEMPORARY_DIRECTORY}")
endif()
get_filename_component(docdir "${staged_license}" DIRECTORY)
file(REMOVE "${staged_license}")

# copyright: the MIT text under "License: Expat", its blank lines written as " .".
file(STRINGS "${source}/LICENSE" lines ENCODING UTF-8)
list(FILTER lines EXCLUDE REGEX "^(MIT License|Copyright \\(c\\).*)$")
set(body "")
set(started FALSE)
foreach(line IN LISTS lines)
  if(line STREQUAL "" AND NOT started)
    continue()
  endif()
  set(started TRUE)
  if(line STREQUAL "")
    string(APPEND body " .\n")
  else()
    string(APPEND body " ${line}\n")
  endif()
endforeach()
file(WRITE "${docdir}/copyright"
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: pixelwell\n"
  "Upstream-Contact: ${CPACK_PACKAGE_CONTACT}\n\n"
  "Files: *\n"
  "Copyright: 2026 The Pixelwell authors\n"
  "License: Expat\n${body}")

# changelog.gz: this version's entry, dated as in CHANGELOG.md.
file(STRINGS "${source}/CHANGELOG.md" heading REGEX "^## \\[${CPACK_PACKAGE_VERSION}\\] - ")
string(REGEX MATCH "[0-9]+-[0-9]+-[0-9]+" day "${heading}")
if(NOT day)
  message(FATAL_ERROR "deb-papers: CHANGELOG.md has no dated entry for ${CPACK_PACKAGE_VERSION}")
endif()
execute_process(COMMAND date -u -R -d "${day} 00:00" OUTPUT_VARIABLE stamp
  OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
file(WRITE "${docdir}/changelog"
  "pixelwell (${CPACK_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
  "  * Release ${CPACK_PACKAGE_VERSION}; what it holds is listed in CHANGELOG.md.\n\n"
  " -- ${CPACK_PACKAGE_CONTACT}  ${stamp}\n")
execute_process(COMMAND gzip -9n "${docdir}/changelog" COMMAND_ERROR_IS_FATAL ANY)
