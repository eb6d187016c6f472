# The Debian package (scripts/package.sh): CPack's DEB generator over `cmake --install`, its
# library dependencies found by dpkg-shlibdeps.
set(doc_dir ${CMAKE_INSTALL_DATADIR}/doc/timbrelo)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright DESTINATION ${doc_dir})
set(changelog ${PROJECT_BINARY_DIR}/resources/changelog.gz)
add_custom_command(OUTPUT ${changelog}
    COMMAND gzip -9 -n -c ${CMAKE_CURRENT_LIST_DIR}/debian/changelog > ${changelog}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/debian/changelog VERBATIM)
add_custom_target(changelog ALL DEPENDS ${changelog})
install(FILES ${changelog} DESTINATION ${doc_dir})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME timbrelo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Timbrelo developers")
set(CPACK_PACKAGE_CONTACT "The Timbrelo developers <timbrelo@users.noreply.github.com>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The window draws its icon through the SVG plugin.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "pipewire-pulse | pulseaudio, libqt6svg6")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "real-time voice changer with a virtual microphone")
# The synopsis is the summary; this is the long description under it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Timbrelo records your microphone, changes the voice buffer by buffer (pitch
and formant shift, cartoon voices, an echo, background music) and offers the
changed voice to every other program as a virtual microphone on the sound
server. It comes with a window (timbrelo) and a command line (timbrelo-cli)
that can also control the running voice changer over D-Bus.")
include(CPack)
