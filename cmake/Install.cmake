# What `cmake --install` and the Debian package put on a proxy machine:
#   bin/snapagent                            RUNPATH $ORIGIN/../lib/<arch>
#   lib/<arch>/libsnaphost.so.N              the host services
#   lib/<arch>/snapclient/libnetappsnapclient.so*   the plug-in, in a folder
#                                            of its own as agents load them
#   /etc/snapclient/snapclient.conf          sample config, 0600 (a password)
#   share/man/man1/snapagent.1.gz, share/doc/snapclient/ (README, docs,
#                                            copyright, changelog.Debian.gz)
#   /var/log/snapclient/                     the log folder the sample config names
#   include/snapclient/{host,records,snapclient}/  the headers an agent builds
#                                            against (the plug-in's interface)

install(TARGETS snaphost LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP)
# The unversioned name is the one agents dlopen, so it is installed too.
install(TARGETS netappsnapclient LIBRARY DESTINATION ${PLUGIN_INSTALL_DIR})

install(FILES ${CMAKE_SOURCE_DIR}/packaging/snapclient.conf
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/snapclient
        PERMISSIONS OWNER_READ OWNER_WRITE)

set(MAN_PAGE ${CMAKE_BINARY_DIR}/snapagent.1.gz)
add_custom_command(OUTPUT ${MAN_PAGE}
  COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/docs/snapagent.1 > ${MAN_PAGE}
  DEPENDS ${CMAKE_SOURCE_DIR}/docs/snapagent.1)
add_custom_target(manpage ALL DEPENDS ${MAN_PAGE})
install(FILES ${MAN_PAGE} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

install(DIRECTORY ${CMAKE_SOURCE_DIR}/host ${CMAKE_SOURCE_DIR}/records
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/snapclient FILES_MATCHING PATTERN "*.h")
install(FILES ${CMAKE_SOURCE_DIR}/snapclient/CFileServerSnapClientBase.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/snapclient/snapclient)

# The installed README stops before the sections about the source tree
# (layout, sanitizers and fuzzing, benchmarks): a proxy has no source tree.
file(READ ${CMAKE_SOURCE_DIR}/README.md README_TEXT)
string(FIND "${README_TEXT}" "\n## Layout" README_CUT)
string(SUBSTRING "${README_TEXT}" 0 ${README_CUT} README_TEXT)
file(WRITE ${CMAKE_BINARY_DIR}/README.md "${README_TEXT}\n")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/README.md)
file(GLOB DOC_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md)
install(FILES ${CMAKE_BINARY_DIR}/README.md ${DOC_FILES} ${CMAKE_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
set(CHANGELOG ${CMAKE_BINARY_DIR}/changelog.Debian.gz)
add_custom_command(OUTPUT ${CHANGELOG}
  COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/packaging/changelog > ${CHANGELOG}
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog)
add_custom_target(changelog ALL DEPENDS ${CHANGELOG})
install(FILES ${CHANGELOG} DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The log files name every backed-up file: only the agent's user reads them.
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/log/snapclient
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
# snapagent's state folder when root runs it without a home (a service):
# job locks and results folders, for root's eyes only.
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/snapagent
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)

# make package: snapclient_<version>_<arch>.deb. Its Depends come from the
# shared libraries the binaries link (dpkg-shlibdeps); libsnaphost is the
# package's own.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME snapclient)
set(CPACK_PACKAGE_CONTACT "snapclient maintainers <maintainers@snapclient.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "snapshot client plug-in for a NAS file-server backup agent")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "A shared library that a NAS file-server backup agent loads on a Linux proxy.
For each backup job it creates one snapshot per NetApp ONTAP volume, deletes
old snapshots by retention, and for incremental jobs compares the previous
and the current snapshot with SnapDiff, so that the agent gets the changed
files one by one instead of walking every file of the shares.
.
The package also holds the host services the plug-in calls (libsnaphost),
an embedded directory-backed array for trying it without a storage array,
and snapagent, a command-line agent that runs whole jobs, checks a set-up
and runs a self-contained demo.")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS sqlite3)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${CMAKE_BINARY_DIR})
# The operator's edited config survives upgrades.
file(WRITE ${CMAKE_BINARY_DIR}/conffiles
     "${CMAKE_INSTALL_FULL_SYSCONFDIR}/snapclient/snapclient.conf\n")
# libsnaphost is a public shared library: its shlibs file, and the linker
# cache refreshed when it is installed or removed.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
file(WRITE ${CMAKE_BINARY_DIR}/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/conffiles ${CMAKE_BINARY_DIR}/triggers)
include(CPack)
