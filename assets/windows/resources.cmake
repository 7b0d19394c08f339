# Windows resources of launcher.exe: the application icon (a single 256 x 256 32-bit image,
# which Explorer shows for the file and the shortcuts), the version information and the
# application manifest (packaging/windows/launcher.exe.manifest.in).
#
# The icon is assets/icon/tarnwick-256.png stored as it is: since Windows Vista an icon image
# may be a PNG. The resource script declares the icon image (RT_ICON, type 3) and its
# directory (RT_GROUP_ICON, type 14) by hand, so no .ico file has to be made; only the PNG's
# size goes into the directory entry. Without the PNG the launcher gets no icon.
set(TARNWICK_ICON_PNG ${CMAKE_SOURCE_DIR}/assets/icon/tarnwick-256.png)
set(TARNWICK_RC_ICON "")
if(EXISTS ${TARNWICK_ICON_PNG})
  file(SIZE ${TARNWICK_ICON_PNG} TARNWICK_ICON_BYTES)
  set(TARNWICK_RC_ICON "1 3 \"${TARNWICK_ICON_PNG}\"
1 14
BEGIN
  0, 1, 1,              /* reserved, type icon, one image */
  0, 0,                 /* width 256 and height 256 (0 means 256), no palette, reserved */
  1, 32,                /* planes, bits per pixel */
  ${TARNWICK_ICON_BYTES}L,  /* bytes of the image */
  1                     /* the image is RT_ICON 1 */
END")
  # Reconfigure when the icon changes, so its size in the directory stays right.
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TARNWICK_ICON_PNG})
endif()
string(REPLACE "." "," TARNWICK_RC_VERSION "${PROJECT_VERSION}.0")
set(TARNWICK_MANIFEST_VERSION "${PROJECT_VERSION}.0")
configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/launcher.exe.manifest.in
               ${CMAKE_BINARY_DIR}/generated/launcher.exe.manifest @ONLY)
set(TARNWICK_RC_MANIFEST ${CMAKE_BINARY_DIR}/generated/launcher.exe.manifest)
configure_file(${CMAKE_CURRENT_LIST_DIR}/launcher.rc.in ${CMAKE_BINARY_DIR}/generated/launcher.rc @ONLY)
target_sources(tarnwick-launcher PRIVATE ${CMAKE_BINARY_DIR}/generated/launcher.rc)
set_source_files_properties(${CMAKE_BINARY_DIR}/generated/launcher.rc PROPERTIES OBJECT_DEPENDS
                            ${TARNWICK_RC_MANIFEST})
