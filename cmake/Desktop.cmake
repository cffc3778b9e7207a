# Desktop integration of the program `zephlin`: its user guide "readme.txt" beside the built
# executable (where the Read Me button opens it), and what `cmake --install` puts where a
# Linux desktop finds it. Include this file after the target `zephlin` exists.
#
# Installed layout (under CMAKE_INSTALL_PREFIX):
#   lib/zephlin/zephlin, lib/zephlin/readme.txt   the program keeps its files beside itself
#                                                  (settings, CRC stores, logs), so it lives
#                                                  in a folder of its own
#   bin/zephlin                                    a symbolic link to the program
#   share/applications/zephlin.desktop             the menu entry
#   share/icons/hicolor/scalable/apps/zephlin.svg  the icon
include(GNUInstallDirs)

get_filename_component(ZEPHLIN_UI_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/../src/ui ABSOLUTE)

if(TARGET zephlin)
  # Where the program is built (an output path may not name a target's file).
  get_target_property(ZEPHLIN_EXE_DIR zephlin RUNTIME_OUTPUT_DIRECTORY)
  if(NOT ZEPHLIN_EXE_DIR)
    get_target_property(ZEPHLIN_EXE_DIR zephlin BINARY_DIR)
  endif()
  # Copied whenever the guide changes, not only when the program is linked again.
  add_custom_command(
    OUTPUT ${ZEPHLIN_EXE_DIR}/readme.txt
    COMMAND ${CMAKE_COMMAND} -E copy_if_different ${ZEPHLIN_UI_SOURCE_DIR}/readme.txt ${ZEPHLIN_EXE_DIR}/readme.txt
    DEPENDS ${ZEPHLIN_UI_SOURCE_DIR}/readme.txt
    COMMENT "readme.txt beside the program"
    VERBATIM)
  add_custom_target(zephlin_readme ALL DEPENDS ${ZEPHLIN_EXE_DIR}/readme.txt)
  add_dependencies(zephlin zephlin_readme)

  set(ZEPHLIN_PROGRAM_DIR ${CMAKE_INSTALL_LIBDIR}/zephlin)
  install(TARGETS zephlin RUNTIME DESTINATION ${ZEPHLIN_PROGRAM_DIR})
  install(FILES ${ZEPHLIN_UI_SOURCE_DIR}/readme.txt DESTINATION ${ZEPHLIN_PROGRAM_DIR})
  # A relative link, so a staged install (DESTDIR) or a moved prefix still points right.
  file(RELATIVE_PATH ZEPHLIN_LINK_TARGET ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_PREFIX}/${ZEPHLIN_PROGRAM_DIR}/zephlin)
  install(CODE "
    set(link \"\$ENV{DESTDIR}${CMAKE_INSTALL_FULL_BINDIR}/zephlin\")
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}${CMAKE_INSTALL_FULL_BINDIR}\")
    file(REMOVE \"\${link}\")
    file(CREATE_LINK \"${ZEPHLIN_LINK_TARGET}\" \"\${link}\" SYMBOLIC)
    message(STATUS \"Installing: \${link} -> ${ZEPHLIN_LINK_TARGET}\")")

  set(ZEPHLIN_DESKTOP_EXEC ${CMAKE_INSTALL_FULL_BINDIR}/zephlin)
  configure_file(${ZEPHLIN_UI_SOURCE_DIR}/zephlin.desktop.in ${PROJECT_BINARY_DIR}/zephlin.desktop @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/zephlin.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
endif()

install(FILES ${ZEPHLIN_UI_SOURCE_DIR}/zephlin.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
