# The Debian package: `cpack -G DEB` in the build directory. Library dependencies come from
# dpkg-shlibdeps; what it cannot see is listed here: the QML modules and the SVG image plugin
# loaded at run time, the platform plugins, and the programs the app runs.
set(CPACK_PACKAGE_NAME pivra-menubar)
set(CPACK_PACKAGE_VENDOR "Pivra")
set(CPACK_PACKAGE_CONTACT "Pivra <support@pivra.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Tray connector between the Pivra iPhone app and this computer")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qml6-module-qtquick, qml6-module-qtquick-layouts, qml6-module-qtquick-window, qml6-module-qtquick-templates, qml6-module-qtqml-workerscript, libqt6svg6, qt6-qpa-plugins, zsh, nodejs")
# The announcement needs a running avahi-daemon, and setup installs the bridge tool with npm;
# a machine can supply either some other way.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "avahi-daemon, npm")
set(CPACK_GENERATOR DEB)
include(CPack)
