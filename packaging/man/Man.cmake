# Manual pages of the four programs, installed with them. The tools' pages are made from their
# own --help, the server's (it takes no arguments) from a short source beside this file.
find_program(HELP2MAN help2man REQUIRED)
find_program(GZIP gzip REQUIRED)

set(man_dir ${CMAKE_BINARY_DIR}/man)
file(MAKE_DIRECTORY ${man_dir})
configure_file(${CMAKE_CURRENT_LIST_DIR}/zarnel.1.in ${man_dir}/zarnel.1 @ONLY)
add_custom_command(OUTPUT ${man_dir}/zarnel.1.gz
                   COMMAND ${GZIP} -9n -c ${man_dir}/zarnel.1 > ${man_dir}/zarnel.1.gz
                   DEPENDS ${man_dir}/zarnel.1 VERBATIM)
set(man_pages ${man_dir}/zarnel.1.gz)
foreach(entry "zarnel-admin|manage the games of a Zarnel server"
              "zarnel-view|list and watch the games of a Zarnel server"
              "zarnel-film|upload a game to a Zarnel server")
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 tool)
  list(GET entry 1 description)
  add_custom_command(
    OUTPUT ${man_dir}/${tool}.1.gz
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/ToolMan.sh $<TARGET_FILE:${tool}> ${ZARNEL_VERSION}
            ${description} ${man_dir}/${tool}.1.gz
    DEPENDS ${tool} ${CMAKE_CURRENT_LIST_DIR}/ToolMan.sh VERBATIM)
  list(APPEND man_pages ${man_dir}/${tool}.1.gz)
endforeach()
add_custom_target(man_pages ALL DEPENDS ${man_pages})
install(FILES ${man_pages} DESTINATION share/man/man1 COMPONENT programs)
