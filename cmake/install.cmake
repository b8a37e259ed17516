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
