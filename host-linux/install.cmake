# Installation on Linux, and the .deb that CPack makes of it.
#
#   PREFIX/libexec/quorvanta/             the host and its dialog library
#   /etc/chromium/native-messaging-hosts/ the host's manifest for Chromium,
#   /etc/opt/chrome/..., /etc/opt/edge/...  Chrome and Edge
#   /usr/lib/mozilla/native-messaging-hosts/  the manifest for Firefox
#   PREFIX/share/quorvanta/               the extension as .zip and .xpi
#
# The browsers look for system-wide manifests only in those fixed folders,
# whatever the prefix.
include(GNUInstallDirs)

# Only a browser starts the host, never a user, so it belongs in libexec. The
# dialog library is the host's private part, loaded from the host's own
# directory: it goes beside it, not on the linker's path.
set(QUORVANTA_INSTALL_HOST_DIR ${CMAKE_INSTALL_LIBEXECDIR}/quorvanta)
install(TARGETS quorvanta-chrome-extension RUNTIME DESTINATION ${QUORVANTA_INSTALL_HOST_DIR})
install(TARGETS quorvanta-dialogs-qt LIBRARY DESTINATION ${QUORVANTA_INSTALL_HOST_DIR}
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# A manifest names the host by its absolute path, which is known only when
# installing (cmake --install --prefix), so the manifests are written then.
set(manifests ${CMAKE_CURRENT_BINARY_DIR}/installed-manifests)
install(CODE "
    include(\"${PROJECT_SOURCE_DIR}/cmake/BrowserIntegration.cmake\")
    set(host_dir \"${QUORVANTA_INSTALL_HOST_DIR}\")
    if(NOT IS_ABSOLUTE \"\${host_dir}\")
        set(host_dir \"\${CMAKE_INSTALL_PREFIX}/\${host_dir}\")
    endif()
    quorvanta_host_manifests(\"${manifests}\" \"\${host_dir}/quorvanta-chrome-extension\")
")
set(chromium_dirs /etc/chromium/native-messaging-hosts /etc/opt/chrome/native-messaging-hosts
    /etc/opt/edge/native-messaging-hosts)
foreach(dir ${chromium_dirs})
    install(FILES ${manifests}/chrome/${QUORVANTA_HOST_NAME}.json DESTINATION ${dir})
endforeach()
install(FILES ${manifests}/firefox/${QUORVANTA_HOST_NAME}.json
    DESTINATION /usr/lib/mozilla/native-messaging-hosts)

install(FILES ${QUORVANTA_EXTENSION_PACKAGES} DESTINATION ${CMAKE_INSTALL_DATADIR}/quorvanta)

# The .deb: `cpack` in the build tree (or the `package` target) writes
# BUILD/quorvanta-token-signing_VERSION_ARCH.deb. CPack's DEB generator
# installs with DESTDIR set to its staging folder and the prefix set to /usr,
# so the absolute /etc and /usr/lib/mozilla destinations land in the package
# and the manifests name the host at /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvanta-token-signing)
set(CPACK_PACKAGE_VENDOR Quorvanta)
set(CPACK_PACKAGE_CONTACT "Quorvanta <support@quorvanta.lv>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "signing with a smart card on web pages")
# Debian wants the long description in lines of under 80 characters.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "Lets a web page obtain the user's certificate from a smart card, and a"
    "signature made on the card, with the user's consent and PIN."
    ""
    "This package holds the native-messaging host that the Quorvanta browser"
    "extension starts, its manifests for Chromium, Chrome, Edge and Firefox,"
    "and the extension itself for administrators who install it by policy.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps finds the libraries (libssl3, Qt 6, ...); libqt6gui6 brings
# the X11 platform plugin. A Wayland session without XWayland needs Qt's
# Wayland plugin, which is loaded at run time.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-wayland)
# Files under /etc are the administrator's once installed: dpkg keeps edits.
list(TRANSFORM chromium_dirs APPEND /${QUORVANTA_HOST_NAME}.json OUTPUT_VARIABLE conffiles)
list(JOIN conffiles "\n" conffiles)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/deb/conffiles "${conffiles}\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/deb/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
