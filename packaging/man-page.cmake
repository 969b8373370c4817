# Writes PROGRAM's man page from its own --help and --version (help2man), with the sections of
# INCLUDE, as OUT and OUT.gz.
#   cmake -DHELP2MAN=... -DPROGRAM=/path/prog -DINCLUDE=prog.h2m -DOUT=prog.1 -P man-page.cmake
get_filename_component(dir "${PROGRAM}" DIRECTORY)
get_filename_component(name "${PROGRAM}" NAME)
# Found on PATH, the program's usage line says its bare name rather than the build path.
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env "PATH=${dir}:$ENV{PATH}"
          ${HELP2MAN} --no-info --section=1 --include=${INCLUDE} --output=${OUT}.tmp ${name}
  RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "help2man could not make the man page of ${PROGRAM}")
endif()
file(READ "${OUT}.tmp" page)
file(REMOVE "${OUT}.tmp")
# help2man takes an indented command in the help's closing text for a list of items: an
# "Example...:" heading and the command lines under it become a heading and loose paragraphs.
# Print them as they stand in the help instead, the command lines kept as typed.
string(REGEX MATCH "\n\\.SS \"(Example[^\"\n]*)\"\n((\\.IP\n[^.\n][^\n]*\n([^.\n][^\n]*\n)*)+)" example "${page}")
if(example)
  set(heading "${CMAKE_MATCH_1}")
  string(REPLACE ".IP\n" "" commands "${CMAKE_MATCH_2}")
  string(REPLACE "${example}" "\n.PP\n${heading}\n.RS\n.nf\n${commands}.fi\n.RE\n" page "${page}")
endif()
# A 5x5 kernel is one word longer than a man page's line: let troff break it after a row's slash.
string(REGEX MATCHALL "\n[^\n]*kernel\\\\fR [^\n]*/[^\n]*" kernel_lines "${page}")
foreach(line IN LISTS kernel_lines)
  string(REPLACE "/" "/\\:" broken "${line}")
  string(REPLACE "${line}" "${broken}" page "${page}")
endforeach()
file(WRITE "${OUT}" "${page}")
execute_process(COMMAND gzip -9nf -k "${OUT}" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "gzip could not compress ${OUT}")
endif()
