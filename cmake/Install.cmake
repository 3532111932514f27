# What `make install` (cmake --install) puts under the prefix, beside the
# programs that their own folders install (updater, corvantis-sim):
#   bin/                                  update-server, make-bird
#   share/man/man1/                       a manual page for each program
#   share/bash-completion/completions/    updater's completion
#   lib/udev/rules.d/                     access for the seat's user to the devices
#   share/metainfo/                       the devices updater serves, for software centres
#   share/doc/updater/                    README.md and the changelog
# Every destination is relative to the prefix, so --prefix and DESTDIR work.

set(UPDATER_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Where the udev rule goes, relative to the prefix or absolute (udev reads /usr/lib/udev/rules.d and /etc/udev/rules.d only)")
set(UPDATER_BASH_COMPLETION_DIR "${CMAKE_INSTALL_DATADIR}/bash-completion/completions" CACHE STRING
    "Where bash-completion looks for completions, relative to the prefix or absolute")

# The Python tools run from anywhere: they import nothing from the tree.
install(PROGRAMS ${CMAKE_SOURCE_DIR}/tools/update-server ${CMAKE_SOURCE_DIR}/tools/make-bird
        DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES ${CMAKE_SOURCE_DIR}/man/updater.1 ${CMAKE_SOURCE_DIR}/man/corvantis-sim.1
              ${CMAKE_SOURCE_DIR}/man/update-server.1 ${CMAKE_SOURCE_DIR}/man/make-bird.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(FILES ${CMAKE_SOURCE_DIR}/completion/updater DESTINATION ${UPDATER_BASH_COMPLETION_DIR})

install(FILES ${CMAKE_SOURCE_DIR}/udev/70-corvantis.rules DESTINATION ${UPDATER_UDEV_RULES_DIR})
install(FILES ${CMAKE_SOURCE_DIR}/appstream/com.velquire.updater.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# The changelog is the Debian one: one history for the tree and its package.
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_SOURCE_DIR}/debian/changelog DESTINATION ${CMAKE_INSTALL_DOCDIR})
