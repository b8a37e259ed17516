# What `cmake --install` puts in place, under the usual GNU folders: the
# terminal program and, on Linux, what a user there expects beside it (man
# page, bash completion, documents). Only what is named here is installed:
# the tools, the simulated module and GoogleTest never are.
include(GNUInstallDirs)

install(TARGETS kavrel-mode-switch-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(WIN32)
  return() # the Windows programs ship in a zip; see scripts/release
endif()

set(KMS_DIST ${PROJECT_SOURCE_DIR}/src/dist)

# The man page carries the version of project(); it and the completion list
# the baud rates, modes and conditions of the program's own tables, and the
# man page its probe order and reopen time.
include(${CMAKE_CURRENT_LIST_DIR}/product_tables.cmake)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/src/engine/baud_text.cpp ${PROJECT_SOURCE_DIR}/src/engine/baud_text.h
  ${PROJECT_SOURCE_DIR}/src/engine/mode_scripts.cpp ${PROJECT_SOURCE_DIR}/src/engine/mode_scripts.h
  ${PROJECT_SOURCE_DIR}/src/engine/script_runner.cpp ${PROJECT_SOURCE_DIR}/src/cli/watch.cpp
  ${PROJECT_SOURCE_DIR}/src/cli/watch.h)
configure_file(${KMS_DIST}/kavrel-mode-switch-cli.1.in
  ${CMAKE_CURRENT_BINARY_DIR}/kavrel-mode-switch-cli.1 @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kavrel-mode-switch-cli.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

configure_file(${KMS_DIST}/kavrel-mode-switch-cli.bash-completion.in
  ${CMAKE_CURRENT_BINARY_DIR}/kavrel-mode-switch-cli.bash-completion @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kavrel-mode-switch-cli.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
  RENAME kavrel-mode-switch-cli)

set(KMS_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/kavrel-mode-switch-cli)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
  ${KMS_DIST}/copyright DESTINATION ${KMS_DOCDIR})
install(FILES ${KMS_DIST}/70-kavrel-no-modemmanager.rules DESTINATION ${KMS_DOCDIR}/examples)

# The web server, where it is built, as component "web": its package takes
# only these files (cmake --install --component web). The unit names the
# folders this build installs to; units go where Debian 12's systemd and
# lintian look for them, under /lib whatever the prefix.
if(NOT TARGET kavrel-mode-switch-web)
  return()
endif()
set(KMS_SYSTEMD_UNIT_DIR /lib/systemd/system CACHE PATH "Where the web server's systemd unit goes")
install(TARGETS kavrel-mode-switch-web RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT web)
configure_file(${KMS_DIST}/kavrel-mode-switch-web.8.in
  ${CMAKE_CURRENT_BINARY_DIR}/kavrel-mode-switch-web.8 @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kavrel-mode-switch-web.8
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT web)
configure_file(${KMS_DIST}/kavrel-mode-switch-web.service.in
  ${CMAKE_CURRENT_BINARY_DIR}/kavrel-mode-switch-web.service @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kavrel-mode-switch-web.service
  DESTINATION ${KMS_SYSTEMD_UNIT_DIR} COMPONENT web)
install(FILES ${KMS_DIST}/kavrel-mode-switch-web.modules-load
  DESTINATION lib/modules-load.d RENAME kavrel-mode-switch-web.conf COMPONENT web)
# The password command writes its file there.
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/kavrel-mode-switch COMPONENT web)
install(FILES ${KMS_DIST}/kavrel-mode-switch-web.default
  DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default RENAME kavrel-mode-switch-web COMPONENT web)
# The copyright without the note on static linking: this program links the
# system's libraries.
file(READ ${KMS_DIST}/copyright kms_copyright)
string(REGEX REPLACE "Comment:\n( [^\n]*\n)*" "" kms_copyright "${kms_copyright}")
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/web/copyright "${kms_copyright}")
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/CHANGELOG.md
  ${CMAKE_CURRENT_BINARY_DIR}/web/copyright
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/kavrel-mode-switch-web COMPONENT web)
