# Desktop integration of the program `zephlin`: its user guide "readme.txt" beside the built
# executable (where the Read Me button opens it while the program is portable), and what
# `cmake --install` puts where a Linux desktop finds it. Include this file after the target
# `zephlin` exists.
#
# Installed layout (under CMAKE_INSTALL_PREFIX):
#   bin/zephlin                                    the program; its folder is not the user's, so
#                                                  it keeps its files in the user's XDG folders
#   share/doc/zephlin/readme.txt                   the guide the Read Me button opens
#   share/applications/zephlin.desktop             the menu entry
#   share/icons/hicolor/scalable/apps/zephlin.svg  the icon
#   lib/systemd/user/zephlin@.service, .timer      a daily unattended run of one session
#   share/man/man1/zephlin.1.gz                    the manual page
#   share/doc/zephlin/copyright, changelog.gz      the licences and the release history
#   share/metainfo/org.example.zephlin.metainfo.xml  what software centres show
#   share/bash-completion/completions/zephlin      completion of options and session names
# The menu entry and the units name the program without a folder: both the desktop and
# systemd find it in the usual bin folders, wherever the prefix was.
include(GNUInstallDirs)

get_filename_component(ZEPHLIN_UI_SOURCE_DIR ${CMAKE_CURRENT_LIST_DIR}/../src/ui ABSOLUTE)
get_filename_component(ZEPHLIN_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR}/../packaging ABSOLUTE)

# Debian wants manual pages and changelogs compressed with gzip -9n (-n: no name or time in
# the header, so the same text always gives the same file).
function(zephlin_gzip source output)
  add_custom_command(
    OUTPUT ${output}
    COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh ${source} ${output}
    DEPENDS ${source}
    COMMENT "gzip ${output}"
    VERBATIM)
endfunction()

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

  install(TARGETS zephlin RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${ZEPHLIN_UI_SOURCE_DIR}/readme.txt DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zephlin)

  set(ZEPHLIN_DESKTOP_EXEC zephlin)
  configure_file(${ZEPHLIN_UI_SOURCE_DIR}/zephlin.desktop.in ${PROJECT_BINARY_DIR}/zephlin.desktop @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/zephlin.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  # lib/, not CMAKE_INSTALL_LIBDIR: systemd looks in lib/systemd/user whatever the architecture.
  install(FILES ${ZEPHLIN_UI_SOURCE_DIR}/zephlin@.service ${ZEPHLIN_UI_SOURCE_DIR}/zephlin@.timer
          DESTINATION lib/systemd/user)
endif()

install(FILES ${ZEPHLIN_UI_SOURCE_DIR}/zephlin.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

zephlin_gzip(${ZEPHLIN_PACKAGING_DIR}/zephlin.1 ${PROJECT_BINARY_DIR}/zephlin.1.gz)
zephlin_gzip(${ZEPHLIN_PACKAGING_DIR}/changelog ${PROJECT_BINARY_DIR}/changelog.gz)
add_custom_target(zephlin_compressed_docs ALL DEPENDS ${PROJECT_BINARY_DIR}/zephlin.1.gz
                                                      ${PROJECT_BINARY_DIR}/changelog.gz)
install(FILES ${PROJECT_BINARY_DIR}/zephlin.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${ZEPHLIN_PACKAGING_DIR}/copyright ${PROJECT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zephlin)
install(FILES ${ZEPHLIN_PACKAGING_DIR}/org.example.zephlin.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${ZEPHLIN_PACKAGING_DIR}/zephlin.bash-completion DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME zephlin)
