# The Debian package tarnwick-launcher_<version>_amd64.deb, made by CPack (scripts/package):
# the launcher as /usr/games/tarnwick-launcher, its desktop entry and icon in the XDG folders,
# AppStream metadata, a manual page, and the copyright and changelog Debian requires. The dependencies come
# from the shared libraries the launcher links (dpkg-shlibdeps).
#
# The desktop entry's id (tarnwick.desktop) is the one self-install writes into the player's
# own applications folder, so the menu starts the installed copy once there is one.
set(pkg_dir ${CMAKE_CURRENT_LIST_DIR})
set(gen_dir ${CMAKE_BINARY_DIR}/generated/package)
file(MAKE_DIRECTORY ${gen_dir})

install(TARGETS tarnwick-launcher RUNTIME DESTINATION games)
install(FILES ${pkg_dir}/tarnwick.desktop DESTINATION share/applications)
install(FILES ${CMAKE_SOURCE_DIR}/assets/icon/tarnwick-256.png DESTINATION share/icons/hicolor/256x256/apps
        RENAME tarnwick.png)
configure_file(${pkg_dir}/gg.tarnwick.launcher.metainfo.xml.in ${gen_dir}/gg.tarnwick.launcher.metainfo.xml @ONLY)
install(FILES ${gen_dir}/gg.tarnwick.launcher.metainfo.xml DESTINATION share/metainfo)

# The copyright file quotes the fonts' licence; the changelog and the manual page are compressed
# without a time stamp.
file(READ ${CMAKE_SOURCE_DIR}/assets/fonts/OFL.txt ofl)
string(STRIP "${ofl}" ofl)
string(REGEX REPLACE "\n[ \t\r]*\n" "\n.\n" ofl "${ofl}")
string(REGEX REPLACE "\n[ \t\r]*\n" "\n.\n" ofl "${ofl}")   # runs of blank lines
string(REPLACE "\n" "\n " OFL_TEXT " ${ofl}")
configure_file(${pkg_dir}/copyright.in ${gen_dir}/copyright @ONLY)
configure_file(${pkg_dir}/changelog.in ${gen_dir}/changelog @ONLY)
configure_file(${pkg_dir}/tarnwick-launcher.6 ${gen_dir}/tarnwick-launcher.6 COPYONLY)
execute_process(COMMAND gzip -9nf ${gen_dir}/changelog ${gen_dir}/tarnwick-launcher.6 RESULT_VARIABLE gzip_failed)
if(gzip_failed)
  message(FATAL_ERROR "gzip failed in ${gen_dir}")
endif()
install(FILES ${gen_dir}/copyright ${gen_dir}/changelog.gz DESTINATION share/doc/tarnwick-launcher)
install(FILES ${gen_dir}/tarnwick-launcher.6.gz DESTINATION share/man/man6)

# `cpack` installs only what is already built; scripts/package builds just the launcher.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwick-launcher)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "Tarnwick <launcher@tarnwick.gg>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "launcher of the game Tarnwick")
# CPack puts the summary first and indents these lines itself.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Signs the player in, installs the game Tarnwick and keeps it at the published
release (signed manifests, checked files), starts the game, and lets players
browse, download and share player-made maps.

On its first start the launcher installs a copy of itself into the player's
game folder, which then updates itself with the game.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION games)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://tarnwick.gg)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_SET_DESTDIR OFF)
include(CPack)
