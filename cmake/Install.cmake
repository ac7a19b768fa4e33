# Installation into a folder the user owns.
#
# The phone keeps its phone book and profile beside its executable and writes
# them there, so it cannot live in a system folder: unless told otherwise we
# install into ~/.local/opt/voxlet. The install never carries Tel.txt or
# name.txt; the setup step creates them empty only when they are absent, so
# installing again keeps the user's data.
#
# Two install components:
#   Runtime  the program, its sounds, menu entry, icons, metadata, docs
#   Setup    runs bin/voxlet-setup on the installed folder: points the menu
#            entry at the installed program, creates the empty data files and,
#            for the default folder, links the menu entry into ~/.local/share.
#   Service  the directory server's systemd unit, naming the installed
#            program (<prefix>/lib/systemd/system/voxlet-directory.service)
# A plain `cmake --install` does all three; the tarball holds Runtime alone
# (unpacked elsewhere, a unit would name the wrong program).

set(VOXLET_APP_ID io.github.voxlet.Voxlet)

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT AND NOT "$ENV{HOME}" STREQUAL "")
  set(CMAKE_INSTALL_PREFIX "$ENV{HOME}/.local/opt/voxlet" CACHE PATH
      "Install folder; the program writes its data files into <prefix>/bin" FORCE)
  set(_voxlet_menu_default ON)
else()
  set(_voxlet_menu_default OFF)
endif()
option(VOXLET_MENU_ENTRY
  "When installing into the configured prefix, link the menu entry and icons into ~/.local/share"
  ${_voxlet_menu_default})

set(_voxlet_desktop_dir ${CMAKE_SOURCE_DIR}/resources/desktop)
set(_voxlet_icon_dir ${CMAKE_SOURCE_DIR}/resources/icons)

install(TARGETS voxlet RUNTIME DESTINATION bin COMPONENT Runtime)
if(TARGET voxlet-directory)
  install(TARGETS voxlet-directory RUNTIME DESTINATION bin COMPONENT Runtime)
  install(FILES ${CMAKE_SOURCE_DIR}/docs/directory-server.md ${CMAKE_SOURCE_DIR}/resources/systemd/directory.conf
    DESTINATION share/doc/voxlet COMPONENT Runtime)
  # Written at install time, when the prefix is known. systemd takes no
  # quote or backslash in a program's path, and "%" doubled.
  set(_voxlet_unit_code [=[
    set(VOXLET_DIRECTORY_EXEC "${CMAKE_INSTALL_PREFIX}/bin/voxlet-directory")
    if(VOXLET_DIRECTORY_EXEC MATCHES "[\"'\\]")
      message(WARNING "systemd cannot start ${VOXLET_DIRECTORY_EXEC}: install with a prefix without quotes or backslashes to use voxlet-directory.service")
    endif()
    string(REPLACE "%" "%%" VOXLET_DIRECTORY_EXEC "${VOXLET_DIRECTORY_EXEC}")
    set(_voxlet_unit "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/systemd/system/voxlet-directory.service")
    message(STATUS "Installing: ${_voxlet_unit}")
    configure_file("@_voxlet_unit_source@" "${_voxlet_unit}" @ONLY)
  ]=])
  set(_voxlet_unit_source ${CMAKE_SOURCE_DIR}/resources/systemd/voxlet-directory.service.in)
  string(CONFIGURE "${_voxlet_unit_code}" _voxlet_unit_code @ONLY)
  install(CODE "${_voxlet_unit_code}" COMPONENT Service)
endif()
install(FILES
    ${CMAKE_SOURCE_DIR}/resources/sounds/Ring.wav
    ${CMAKE_SOURCE_DIR}/resources/sounds/Anybody.wav
    ${CMAKE_SOURCE_DIR}/resources/sounds/Ans.wav
  DESTINATION bin COMPONENT Runtime)
install(PROGRAMS ${_voxlet_desktop_dir}/voxlet-setup.sh
  DESTINATION bin RENAME voxlet-setup COMPONENT Runtime)

install(FILES ${_voxlet_desktop_dir}/${VOXLET_APP_ID}.desktop
  DESTINATION share/applications COMPONENT Runtime)
install(FILES ${_voxlet_desktop_dir}/${VOXLET_APP_ID}.metainfo.xml
  DESTINATION share/metainfo COMPONENT Runtime)
foreach(size 16 32 48 128)
  install(FILES ${_voxlet_icon_dir}/voxlet-${size}.png
    DESTINATION share/icons/hicolor/${size}x${size}/apps
    RENAME ${VOXLET_APP_ID}.png COMPONENT Runtime)
endforeach()
install(FILES ${_voxlet_icon_dir}/voxlet.svg
  DESTINATION share/icons/hicolor/scalable/apps
  RENAME ${VOXLET_APP_ID}.svg COMPONENT Runtime)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/install.md
  DESTINATION share/doc/voxlet OPTIONAL COMPONENT Runtime)

# Runs at install time. The menu links are made only for an install into the
# configured prefix without DESTDIR: a `--prefix` elsewhere, a staged install
# and the package build leave the user's menu alone.
set(_voxlet_setup_code [=[
  set(_voxlet_bin "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin")
  set(_voxlet_args --exec "${CMAKE_INSTALL_PREFIX}/bin/voxlet")
  set(_voxlet_menu "@VOXLET_MENU_ENTRY@")
  if("$ENV{DESTDIR}" STREQUAL "" AND CMAKE_INSTALL_PREFIX STREQUAL "@CMAKE_INSTALL_PREFIX@" AND _voxlet_menu)
    message(STATUS "Linking the menu entry and icons into the user's data folder")
  else()
    list(APPEND _voxlet_args --no-menu)
  endif()
  execute_process(COMMAND sh "${_voxlet_bin}/voxlet-setup" ${_voxlet_args} RESULT_VARIABLE _voxlet_rc)
  if(NOT _voxlet_rc EQUAL 0)
    message(FATAL_ERROR "voxlet-setup failed (${_voxlet_rc})")
  endif()
]=])
string(CONFIGURE "${_voxlet_setup_code}" _voxlet_setup_code @ONLY)
install(CODE "${_voxlet_setup_code}" COMPONENT Setup)

# A tarball of the installed folder, without the data files and without the
# setup step: after unpacking, bin/voxlet-setup finishes it. No .deb: a system
# package puts the program where its user cannot write the phone book.
set(CPACK_PACKAGE_NAME voxlet)
set(CPACK_PACKAGE_VENDOR "Voxlet")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Voice telephone for two people over TCP/IPv4")
set(CPACK_PACKAGE_FILE_NAME "voxlet-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_GENERATOR TGZ)
set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};Runtime;/")
set(CPACK_PACKAGE_CHECKSUM SHA256)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/out/")
include(CPack)
