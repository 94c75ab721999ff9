# Icons, install rules and the two packages. `cmake --build BUILD --target package` (or
# `cpack` in BUILD) makes:
#   veltrane-VERSION-linux-ARCH.tar.gz  per-user install: install.sh, uninstall.sh,
#                                       programs/ (the program folder), share/ (templates)
#   veltrane_VERSION_ARCH.deb          the program folder in /opt/veltrane, for managed desktops
# Install components:
#   programs  the program folder, flat: the three programs, libzervlib.so, ocs-client,
#             veltrane-check, icons/hicolor/
#   system    the Debian package's files outside the program folder (/etc, /usr/share, the
#             tools' links in /usr/bin)
#   tarball   install.sh, uninstall.sh, the menu entry, INI templates and man/man1/
# `cmake --install BUILD --prefix DIR` installs a bare program folder (programs only).

set(VELTRANE_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(VELTRANE_PACKAGING_BINARY_DIR ${CMAKE_BINARY_DIR}/packaging)
set(VELTRANE_DEB_PROGRAM_DIR /opt/veltrane)
set(VELTRANE_MAINTAINER "Zerv Veltrane team <veltrane@zerv.example>" CACHE STRING
  "Maintainer of the Debian package (name <address>)")

set(VELTRANE_PROGRAM_TARGETS Veltrane veltrane_service zerv_run zervlib)
foreach(target ${VELTRANE_PROGRAM_TARGETS})
  if(NOT TARGET ${target})
    message(FATAL_ERROR "Packaging: the program folder needs the target ${target}")
  endif()
endforeach()

# The tools shipped with the programs, in the program folder too: ocs-client (a request to
# test an install) and veltrane-check (checks an install), when they are built.
set(VELTRANE_TOOL_TARGETS "")
foreach(target ocs-client veltrane-check)
  if(TARGET ${target})
    list(APPEND VELTRANE_TOOL_TARGETS ${target})
  endif()
endforeach()

# --- icons: rendered from the one drawing, into the build's program folder too ---
find_program(RSVG_CONVERT rsvg-convert REQUIRED)  # package librsvg2-bin
set(VELTRANE_ICON_SIZES 16 22 24 32 48 64 128 256)
set(icon_svg ${VELTRANE_PACKAGING_DIR}/icons/veltrane.svg)
set(icon_root ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/icons/hicolor)
set(icon_files ${icon_root}/scalable/apps/veltrane.svg)
add_custom_command(OUTPUT ${icon_root}/scalable/apps/veltrane.svg
  COMMAND ${CMAKE_COMMAND} -E make_directory ${icon_root}/scalable/apps
  COMMAND ${CMAKE_COMMAND} -E copy ${icon_svg} ${icon_root}/scalable/apps/veltrane.svg
  DEPENDS ${icon_svg} VERBATIM)
foreach(size ${VELTRANE_ICON_SIZES})
  set(png ${icon_root}/${size}x${size}/apps/veltrane.png)
  add_custom_command(OUTPUT ${png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${icon_root}/${size}x${size}/apps
    COMMAND ${RSVG_CONVERT} --width ${size} --height ${size} --output ${png} ${icon_svg}
    DEPENDS ${icon_svg} VERBATIM)
  list(APPEND icon_files ${png})
endforeach()
add_custom_target(veltrane_icons ALL DEPENDS ${icon_files})
add_dependencies(Veltrane veltrane_icons)

# --- the program folder ---
# Symbols bound at start-up, so that the relocation tables can be read-only (hardening).
foreach(target ${VELTRANE_PROGRAM_TARGETS} ${VELTRANE_TOOL_TARGETS})
  target_link_options(${target} PRIVATE LINKER:-z,now)
endforeach()
install(TARGETS ${VELTRANE_PROGRAM_TARGETS} ${VELTRANE_TOOL_TARGETS}
  RUNTIME DESTINATION . COMPONENT programs
  LIBRARY DESTINATION . COMPONENT programs)

# --- manual pages of the programs and tools, from their --help ---
include(${CMAKE_SOURCE_DIR}/cmake/ManPages.cmake)
veltrane_man_page(Veltrane Veltrane.exe "relay between OCS client programs and the insurer's portal")
veltrane_man_page(veltrane_service VeltraneService.exe "keeps the Veltrane relay running and fetches program updates")
veltrane_man_page(zerv_run ZervRun.exe "installs Veltrane's downloaded updates, registers autostart and starts the programs")
if(TARGET ocs-client)
  veltrane_man_page(ocs-client ocs-client "sends a request to the Veltrane relay as an OCS client program does")
endif()
if(TARGET veltrane-check)
  veltrane_man_page(veltrane-check veltrane-check "checks a Veltrane install as an administrator would")
endif()
install(FILES ${VELTRANE_MAN_PAGES} DESTINATION usr/share/man/man1 COMPONENT system EXCLUDE_FROM_ALL)
install(FILES ${VELTRANE_MAN_PAGES} DESTINATION man/man1 COMPONENT tarball EXCLUDE_FROM_ALL)
# The tools on the search path of every user of the Debian package.
foreach(target ${VELTRANE_TOOL_TARGETS})
  install(CODE "
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/usr/bin\")
    file(CREATE_LINK ${VELTRANE_DEB_PROGRAM_DIR}/${target}
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/usr/bin/${target}\" SYMBOLIC)" COMPONENT system EXCLUDE_FROM_ALL)
endforeach()
foreach(icon ${icon_files})
  file(RELATIVE_PATH relative ${icon_root} ${icon})
  get_filename_component(folder ${relative} DIRECTORY)
  install(FILES ${icon} DESTINATION icons/hicolor/${folder} COMPONENT programs)
  install(FILES ${icon} DESTINATION usr/share/icons/hicolor/${folder}
    COMPONENT system EXCLUDE_FROM_ALL)
endforeach()

# --- Debian package: everything outside the program folder ---
# INI files that administrators edit are configuration files in /etc/veltrane; the program
# folder links to them. Each user's own files (SessionKey.ini, WinSize.ini, Log/) are kept
# in ~/.local/state/veltrane, never in the program folder. postinst names what the package
# puts into the program folder: keep it in step.
# The shipped Update.ini, with the keys that sign updates when the build names them.
set(VELTRANE_UPDATE_KEYS "" CACHE STRING
  "Public keys that sign updates (veltrane-sign keygen's output, comma-separated), written as UPDATE_KEYS into the shipped Update.ini")
if(NOT VELTRANE_UPDATE_KEYS MATCHES "^([A-Za-z0-9+/]+=?=?)?([ ,]+[A-Za-z0-9+/]+=?=?)*$")
  message(FATAL_ERROR "VELTRANE_UPDATE_KEYS: Base64 keys separated by commas, not: ${VELTRANE_UPDATE_KEYS}")
endif()
file(READ ${VELTRANE_PACKAGING_DIR}/config/Update.ini shipped_update_ini)
if(VELTRANE_UPDATE_KEYS)
  string(APPEND shipped_update_ini "UPDATE_KEYS=${VELTRANE_UPDATE_KEYS}\n")
endif()
file(GENERATE OUTPUT ${VELTRANE_PACKAGING_BINARY_DIR}/Update.ini CONTENT "${shipped_update_ini}")
set(VELTRANE_SHIPPED_UPDATE_INI ${VELTRANE_PACKAGING_BINARY_DIR}/Update.ini)
install(FILES ${VELTRANE_SHIPPED_UPDATE_INI} ${VELTRANE_PACKAGING_DIR}/config/veltrane_url.ini
  ${VELTRANE_PACKAGING_DIR}/config/Veltrane.ini
  DESTINATION etc/veltrane COMPONENT system EXCLUDE_FROM_ALL)
install(CODE "
  foreach(name Update.ini veltrane_url.ini Veltrane.ini)
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}${VELTRANE_DEB_PROGRAM_DIR}\")
    file(CREATE_LINK /etc/veltrane/\${name}
      \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}${VELTRANE_DEB_PROGRAM_DIR}/\${name}\" SYMBOLIC)
  endforeach()" COMPONENT system EXCLUDE_FROM_ALL)
install(FILES ${VELTRANE_PACKAGING_DIR}/debian/VeltraneService.desktop
  DESTINATION etc/xdg/autostart COMPONENT system EXCLUDE_FROM_ALL)
set(TRYEXEC ${VELTRANE_DEB_PROGRAM_DIR}/Veltrane.exe)
set(EXEC ${VELTRANE_DEB_PROGRAM_DIR}/Veltrane.exe)
set(PATH ${VELTRANE_DEB_PROGRAM_DIR})
configure_file(${VELTRANE_PACKAGING_DIR}/veltrane.desktop.in
  ${VELTRANE_PACKAGING_BINARY_DIR}/veltrane.desktop @ONLY)
unset(TRYEXEC)
unset(EXEC)
unset(PATH)
install(FILES ${VELTRANE_PACKAGING_BINARY_DIR}/veltrane.desktop
  DESTINATION usr/share/applications COMPONENT system EXCLUDE_FROM_ALL)
configure_file(${VELTRANE_PACKAGING_DIR}/debian/changelog.in
  ${VELTRANE_PACKAGING_BINARY_DIR}/changelog @ONLY)
add_custom_command(OUTPUT ${VELTRANE_PACKAGING_BINARY_DIR}/changelog.gz
  COMMAND gzip -9 -n -c ${VELTRANE_PACKAGING_BINARY_DIR}/changelog
    > ${VELTRANE_PACKAGING_BINARY_DIR}/changelog.gz
  DEPENDS ${VELTRANE_PACKAGING_BINARY_DIR}/changelog VERBATIM)
add_custom_target(veltrane_changelog ALL DEPENDS ${VELTRANE_PACKAGING_BINARY_DIR}/changelog.gz)
install(FILES ${VELTRANE_PACKAGING_DIR}/debian/copyright ${VELTRANE_PACKAGING_BINARY_DIR}/changelog.gz
  DESTINATION usr/share/doc/veltrane COMPONENT system EXCLUDE_FROM_ALL)
install(FILES ${VELTRANE_PACKAGING_DIR}/debian/lintian-overrides
  DESTINATION usr/share/lintian/overrides RENAME veltrane COMPONENT system EXCLUDE_FROM_ALL)

# --- tarball: the scripts and templates beside programs/ ---
install(PROGRAMS ${VELTRANE_PACKAGING_DIR}/tarball/install.sh ${VELTRANE_PACKAGING_DIR}/tarball/uninstall.sh
  DESTINATION . COMPONENT tarball EXCLUDE_FROM_ALL)
install(FILES ${VELTRANE_PACKAGING_DIR}/veltrane.desktop.in
  ${VELTRANE_SHIPPED_UPDATE_INI} ${VELTRANE_PACKAGING_DIR}/config/veltrane_url.ini
  ${VELTRANE_PACKAGING_DIR}/config/Veltrane.ini
  DESTINATION share COMPONENT tarball EXCLUDE_FROM_ALL)

# --- CPack ---
set(CPACK_GENERATOR "TGZ;DEB")
set(CPACK_PACKAGE_NAME veltrane)
set(CPACK_PACKAGE_VENDOR Zerv)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME veltrane-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "relay between hospital OCS programs and the insurer's portal")
set(CPACK_STRIP_FILES ON)
set(CPACK_VELTRANE_STRIP ${CMAKE_STRIP})
set(CPACK_PRE_BUILD_SCRIPTS ${VELTRANE_PACKAGING_DIR}/StripNotes.cmake)
# Which components go where differs per package (see the file).
configure_file(${VELTRANE_PACKAGING_DIR}/CPackProjectConfig.cmake.in
  ${VELTRANE_PACKAGING_BINARY_DIR}/CPackProjectConfig.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${VELTRANE_PACKAGING_BINARY_DIR}/CPackProjectConfig.cmake)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELTRANE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The summary above is the first line; this is the rest.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Veltrane connects a hospital's order communication system (OCS) with the
insurer's web portal on the desktop. OCS programs send their requests to
Veltrane.exe on TCP port 9812; it opens the portal page for the request in its
own window and sends the page's answer back. VeltraneService.exe keeps it
running.
.
The programs live in /opt/veltrane, which only the package manager changes:
updates come as new packages. Each desktop user's session key, window size and
logs are kept in ~/.local/state/veltrane.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Beside the libraries shlibdeps finds: a font with Korean glyphs, without which every
# Korean text of the portal and of the relay shows as empty boxes.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-noto-cjk | fonts-nanum")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${VELTRANE_PACKAGING_DIR}/debian/preinst
  ${VELTRANE_PACKAGING_DIR}/debian/postinst
  ${VELTRANE_PACKAGING_DIR}/debian/prerm
  ${VELTRANE_PACKAGING_DIR}/debian/postrm
  ${VELTRANE_PACKAGING_DIR}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
