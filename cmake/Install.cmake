# What `cmake --install` and the Debian package put on a proxy machine:
#   bin/snapagent                            RUNPATH $ORIGIN/../lib/<arch>
#   lib/<arch>/libsnaphost.so.N              the host services
#   lib/<arch>/snapclient/libnetappsnapclient.so*   the plug-in, in a folder
#                                            of its own as agents load them
#   /etc/snapclient/snapclient.conf          sample config, 0600 (a password)
#   share/man/man1/snapagent.1.gz, share/doc/snapclient/ (README, docs,
#                                            copyright, changelog.gz, examples/)
#   /var/log/snapclient/                     the log folder the sample config names
#   /var/lib/snapagent/                      job state of root and of scheduled jobs
#   /etc/logrotate.d/snapclient              its rotation
#   share/bash-completion/completions/snapagent  bash completion
#   /lib/systemd/system/snapagent@.{service,timer}  scheduled jobs, run by
#   libexec/snapclient/snapagent-scheduled   from /etc/snapclient/NAME.{conf,job}
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
# Beside it the documents are its neighbours, not in docs/.
string(REPLACE "`docs/" "`" README_TEXT "${README_TEXT}")
foreach(folder hostlib/ tests/ tools/ fuzz/ bench/ docs/)
  string(FIND "${README_TEXT}" "${folder}" SOURCE_FOLDER_AT)
  if(NOT SOURCE_FOLDER_AT EQUAL -1)
    message(FATAL_ERROR "README.md before \"## Layout\" names ${folder}, which an installed "
                        "README cannot point at: move it below the cut or reword it")
  endif()
endforeach()
file(WRITE ${CMAKE_BINARY_DIR}/README.md "${README_TEXT}\n")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/README.md)
file(GLOB DOC_FILES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md)
install(FILES ${CMAKE_BINARY_DIR}/README.md ${DOC_FILES} ${CMAKE_SOURCE_DIR}/packaging/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The array docs/transcript.md replays is that of a job scenario the tests
# run, so that the example and what the tests expect of it never part.
set(EXAMPLE_SCENARIO ${CMAKE_SOURCE_DIR}/tests/scenarios/non-cluster-names.json)
file(READ ${EXAMPLE_SCENARIO} EXAMPLE_SCENARIO_TEXT)
string(JSON EXAMPLE_ARRAY GET "${EXAMPLE_SCENARIO_TEXT}" array)
file(WRITE ${CMAKE_BINARY_DIR}/transcript-array.json "${EXAMPLE_ARRAY}\n")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${EXAMPLE_SCENARIO})
install(FILES ${CMAKE_BINARY_DIR}/transcript-array.json DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
# The package is native (its version has no Debian revision): changelog.gz.
set(CHANGELOG ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${CHANGELOG}
  COMMAND gzip -9n -c ${CMAKE_SOURCE_DIR}/packaging/changelog > ${CHANGELOG}
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog)
add_custom_target(changelog ALL DEPENDS ${CHANGELOG})
install(FILES ${CHANGELOG} DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The log files name every backed-up file: only the agent's user reads them.
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/log/snapclient
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
# Root's job state (results name the files of every share), also that of
# scheduled jobs (systemd's StateDirectory=snapagent).
install(DIRECTORY DESTINATION ${CMAKE_INSTALL_FULL_LOCALSTATEDIR}/lib/snapagent
        DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)

# Scheduled jobs: systemd's template units (Debian keeps units in
# /lib/systemd/system) around the script that gives each run its job ids,
# an example of its settings, and the log rotation.
install(PROGRAMS ${CMAKE_SOURCE_DIR}/packaging/snapagent-scheduled
        DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/snapclient)
configure_file(${CMAKE_SOURCE_DIR}/packaging/snapagent@.service.in
               ${CMAKE_BINARY_DIR}/snapagent@.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/snapagent@.service ${CMAKE_SOURCE_DIR}/packaging/snapagent@.timer
        DESTINATION /lib/systemd/system)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/example.job DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
# Completion of commands, options, files and shares, loaded on demand by
# bash-completion.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/snapagent.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions RENAME snapagent)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/snapclient.logrotate
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d RENAME snapclient)
# What lintian would flag and the package means: the modes that keep the
# array passwords and the logs from other users.
install(FILES ${CMAKE_SOURCE_DIR}/packaging/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides RENAME snapclient)

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
     "${CMAKE_INSTALL_FULL_SYSCONFDIR}/snapclient/snapclient.conf\n"
     "${CMAKE_INSTALL_FULL_SYSCONFDIR}/logrotate.d/snapclient\n")
# libsnaphost is a public shared library: its shlibs file, and the linker
# cache refreshed when it is installed or removed.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
file(WRITE ${CMAKE_BINARY_DIR}/triggers "activate-noawait ldconfig\n")
# Our own maintainer scripts keep CPack from writing ones that call ldconfig
# (the trigger does that); they tell systemd of the units and purge the
# logs and job state.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/conffiles ${CMAKE_BINARY_DIR}/triggers
    ${CMAKE_SOURCE_DIR}/packaging/postinst ${CMAKE_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
