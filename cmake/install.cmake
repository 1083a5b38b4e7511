# What an install puts in beside pinctl (src/) and the board's library
# (linuxboard/): the manual pages, the shell completion and, for the linux
# board, its pin map's page and examples of a pin map and a udev rule.
#
# The simulated board's libvarnel.so and pinsim stand in for the hardware:
# they are installed only when asked for by name, as the component
# "simboard" (simboard/CMakeLists.txt), the library in a folder of its own:
#     cmake --install build --component simboard

# pinctl.1 tells of the linux board's pin map, files and page in blocks
#     .\" linux board {
#     ...
#     .\" }
# which only the linux board's install keeps: no other ships them. The
# others install a copy without those blocks, made here.
set(pinctl_page ${PROJECT_SOURCE_DIR}/man/pinctl.1)
if(NOT PINCTL_BOARD STREQUAL "linux" OR PINCTL_BOARD_LIBRARY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${pinctl_page})
  file(READ ${pinctl_page} rest)
  set(opening ".\\\" linux board {\n")
  set(closing ".\\\" }\n")
  string(LENGTH "${closing}" closing_length)
  set(kept "")
  while(TRUE)
    string(FIND "${rest}" "${opening}" start)
    if(start EQUAL -1)
      break()
    endif()
    string(SUBSTRING "${rest}" 0 ${start} before)
    string(APPEND kept "${before}")
    string(SUBSTRING "${rest}" ${start} -1 rest)
    string(FIND "${rest}" "${closing}" end)
    if(end EQUAL -1)
      message(FATAL_ERROR "man/pinctl.1: a linux board block is not closed")
    endif()
    math(EXPR end "${end} + ${closing_length}")
    string(SUBSTRING "${rest}" ${end} -1 rest)
  endwhile()
  set(pinctl_page ${PROJECT_BINARY_DIR}/man/pinctl.1)
  file(WRITE ${pinctl_page} "${kept}${rest}")
endif()
install(FILES ${pinctl_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/completion/pinctl
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)
if(PINCTL_BOARD STREQUAL "linux" AND NOT PINCTL_BOARD_LIBRARY)
  install(FILES ${PROJECT_SOURCE_DIR}/man/varnel-pinmap.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)
  install(FILES ${PROJECT_SOURCE_DIR}/examples/pinmap ${PROJECT_SOURCE_DIR}/examples/60-gpio.rules
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
endif()

# Installed binaries carry no search path (see CMAKE_INSTALL_RPATH): each
# one's $ORIGIN is removed from its installed copy, after the rule that
# installed it. installWithoutRunpath(TARGET DIR [COMPONENT NAME EXCLUDE_FROM_ALL])
function(installWithoutRunpath target dir)
  if(IS_ABSOLUTE "${dir}")
    set(path "\$ENV{DESTDIR}${dir}")
  else()
    set(path "\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${dir}")
  endif()
  install(CODE "file(RPATH_REMOVE FILE \"${path}/$<TARGET_FILE_NAME:${target}>\")" ${ARGN})
endfunction()

installWithoutRunpath(pinctl ${CMAKE_INSTALL_BINDIR})
if(PINCTL_BOARD STREQUAL "linux" AND NOT PINCTL_BOARD_LIBRARY)
  if(NOT PINCTL_STATIC)
    installWithoutRunpath(varnel ${CMAKE_INSTALL_LIBDIR})
  endif()
elseif(NOT PINCTL_BOARD_LIBRARY)
  installWithoutRunpath(varnel ${PINCTL_SIMBOARD_LIBDIR} COMPONENT simboard EXCLUDE_FROM_ALL)
  # pinsim keeps the one entry that leads to its board's folder.
  install(CODE "file(RPATH_CHANGE FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:pinsim>\"
      OLD_RPATH \"$<TARGET_PROPERTY:pinsim,INSTALL_RPATH>\" NEW_RPATH \"${PINSIM_INSTALLED_RPATH}\")"
    COMPONENT simboard EXCLUDE_FROM_ALL)
endif()
