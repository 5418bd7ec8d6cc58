# The Debian package: `cpack -G DEB` in the build folder writes quillmoor_<version>_amd64.deb,
# which puts the program folder in /usr/lib/quillmoor, both programs in /usr/bin, the desktop
# entry and the icon in the menu and the manual page of quillmoor-cli in place.

# The manual page, compressed as Debian keeps them.
set(QM_MAN_PAGE ${CMAKE_BINARY_DIR}/man/quillmoor-cli.1.gz)
add_custom_command(OUTPUT ${QM_MAN_PAGE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
  COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${PROJECT_SOURCE_DIR}/doc/quillmoor-cli.1 ${QM_MAN_PAGE}
  DEPENDS ${PROJECT_SOURCE_DIR}/doc/quillmoor-cli.1
  COMMENT "Compressing the manual page of quillmoor-cli"
  VERBATIM)
add_custom_target(quillmoor-man ALL DEPENDS ${QM_MAN_PAGE})
install(FILES ${QM_MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillmoor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Tarnwick)
set(CPACK_PACKAGE_CONTACT "Tarnwick <support@tarnwick.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "turns video files into a DVD that plays on a DVD player")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Quillmoor converts a list of ordinary video files (AVI, MKV, MP4, MOV, MPEG, TS and\n others) into a DVD-Video folder or disc image with one title per file, in a window or with\n quillmoor-cli.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
# The media libraries are opened at run time, so no tool finds them in the programs: they are
# named here, with the programs' own links, the authoring program and the image writer.
set(QM_RUNTIME_PACKAGES
  libc6 libstdc++6 libgcc-s1 libx11-6
  libqt6core6 libqt6gui6 libqt6widgets6 libqt6xml6
  libavcodec59 libavformat59 libavfilter8 libavutil57 libswscale6 libswresample4
  libsdl2-2.0-0 dvdauthor genisoimage)
list(JOIN QM_RUNTIME_PACKAGES ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
include(CPack)
