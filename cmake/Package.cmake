# `make package`: a Debian package of what `cmake --install` installs, under /usr. Its
# dependencies are those of the libraries the program links (dpkg-shlibdeps), so they follow
# whatever the build machine's Qt, OpenSSL and the others are.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zephlin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Zephlin Workshop")
set(CPACK_PACKAGE_CONTACT "Zephlin Workshop <zephlin@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keeps local folders and FTP folders in step")
set(CPACK_PACKAGE_DESCRIPTION
    "Zephlin copies or mirrors files between local folders and folders on FTP servers, by hand, after a countdown, when a folder changes or after another session. It runs as a desktop program in the notification area or unattended from a systemd timer.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# QtKeychain reaches the Secret Service through libsecret, which it loads when it runs.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libsecret-1-0")
include(CPack)
