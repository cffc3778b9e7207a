# `make package`: a Debian package of what `cmake --install` installs, under /usr. Its
# dependencies are those of the libraries the program links (dpkg-shlibdeps), so they follow
# whatever the build machine's Qt, OpenSSL and the others are.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zephlin)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Zephlin Workshop")
set(CPACK_PACKAGE_CONTACT "Zephlin Workshop <zephlin@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keeps local folders and FTP or SFTP folders in step")
# Lines of at most 80 columns, as Debian asks; an empty line separates paragraphs.
set(CPACK_PACKAGE_DESCRIPTION [=[
Zephlin copies or mirrors files between local folders and folders on FTP
servers (in the clear or over TLS) or SFTP servers. Each job, a session, runs
by hand, after a countdown, when a local folder changes or after another
session; several sessions transfer at once, each on connections of its own.

It runs as a desktop program in the notification area, or unattended from
cron or a systemd timer, with a summary log and an exit status that tells
whether every run succeeded.]=])
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# QtKeychain reaches the Secret Service through libsecret, which it loads when it runs.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libsecret-1-0")
# Every symbol is bound when the program loads, so its relocation tables can be made read-only
# at once (Debian's "bindnow" hardening).
if(TARGET zephlin)
  target_link_options(zephlin PRIVATE LINKER:-z,now)
endif()

include(CPack)
