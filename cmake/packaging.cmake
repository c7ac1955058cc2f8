# Install layout and the Debian package.
#
# The daemon reads fixed paths below /opt/meterscribe and /var, so the
# layout is rooted at "/": destinations are relative to an install prefix of
# "/" (the default here), and `cmake --install build --prefix <dir>` lays
# the same tree out below <dir> for staging. The package carries the
# daemon, the field tools, the sample scripts and a settings example under
# /opt/meterscribe, the manual pages, the systemd unit and the tmpfiles.d
# entry for the log directories, the RAM mount of the volatile one, and
# links in /usr/bin to the field tools; the settings file itself is the
# integrator's and never shipped.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX "/" CACHE PATH "Install prefix: the daemon's paths are fixed below /" FORCE)
endif()

set(MS_ETC_SOURCE ${PROJECT_SOURCE_DIR}/etc)
# The sample scripts are the gateway's own part and meant to be adapted:
# the package marks them as configuration, so upgrades keep local changes.
set(MS_SAMPLE_SCRIPTS send removeFile memCard)
foreach(script ${MS_SAMPLE_SCRIPTS})
  install(PROGRAMS ${MS_ETC_SOURCE}/${script} DESTINATION opt/meterscribe/etc)
endforeach()
# The functions the scripts source from their own directory. They read the
# settings by the daemon's rules, so they follow the daemon on an upgrade:
# sourced and not run (mode 0644), and not a configuration file.
install(FILES ${MS_ETC_SOURCE}/script-functions.sh DESTINATION opt/meterscribe/etc)
install(FILES ${MS_ETC_SOURCE}/settings.example ${MS_ETC_SOURCE}/registers.example DESTINATION opt/meterscribe/etc)
install(FILES ${MS_ETC_SOURCE}/meterscribe.service DESTINATION lib/systemd/system)
# The RAM file system of the volatile log directory; its size in a drop-in.
install(FILES ${MS_ETC_SOURCE}/var-meterscribe-voldata.mount DESTINATION lib/systemd/system)
install(FILES ${MS_ETC_SOURCE}/var-meterscribe-voldata.mount.d/size.conf
        DESTINATION lib/systemd/system/var-meterscribe-voldata.mount.d)
install(FILES ${MS_ETC_SOURCE}/meterscribe.tmpfiles DESTINATION usr/lib/tmpfiles.d RENAME meterscribe.conf)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION usr/share/doc/meterscribe)
install(FILES ${MS_ETC_SOURCE}/debian/copyright DESTINATION usr/share/doc/meterscribe)
# A native package's changelog, compressed as Debian wants it.
set(MS_CHANGELOG_GZ ${CMAKE_BINARY_DIR}/changelog.gz)
execute_process(COMMAND gzip -9nc ${MS_ETC_SOURCE}/debian/changelog OUTPUT_FILE ${MS_CHANGELOG_GZ})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${MS_ETC_SOURCE}/debian/changelog)
install(FILES ${MS_CHANGELOG_GZ} DESTINATION usr/share/doc/meterscribe)
install(FILES ${MS_ETC_SOURCE}/debian/meterscribe.lintian-overrides
        DESTINATION usr/share/lintian/overrides RENAME meterscribe)

# Manual pages carry the project's version and are compressed as Debian
# wants them. The pages in man/ say only "meterscribe" in their title line,
# so `man ./man/<page>` reads well in the source tree; the installed page
# gets the version added there.
# An optional third argument names the install component (the server
# package's, below); without it the page is the gateway package's.
function(ms_install_man_page page section)
  set(source ${PROJECT_SOURCE_DIR}/man/${page}.${section})
  set(page_file ${CMAKE_BINARY_DIR}/man/${page}.${section})
  file(READ ${source} text)
  string(REGEX REPLACE "^(\\.TH [^\n]*)\"meterscribe\"" "\\1\"meterscribe ${PROJECT_VERSION}\"" text "${text}")
  file(CONFIGURE OUTPUT ${page_file} CONTENT "${text}" @ONLY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  execute_process(COMMAND gzip -9nc ${page_file} OUTPUT_FILE ${page_file}.gz COMMAND_ERROR_IS_FATAL ANY)
  if(ARGC GREATER 2)
    install(FILES ${page_file}.gz DESTINATION usr/share/man/man${section} COMPONENT ${ARGV2} EXCLUDE_FROM_ALL)
  else()
    install(FILES ${page_file}.gz DESTINATION usr/share/man/man${section})
  endif()
endfunction()
ms_install_man_page(meterscribe 8)
ms_install_man_page(meterscribe-settings 5)

# The field tools of etc/debian/field-tools that this tree builds (each
# installs itself in tools/CMakeLists.txt). They are linked like the daemon
# (src/daemon/CMakeLists.txt): with the C++ runtime linked in, the package
# needs the C library alone.
file(STRINGS ${MS_ETC_SOURCE}/debian/field-tools MS_FIELD_TOOLS REGEX "^[a-z]")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${MS_ETC_SOURCE}/debian/field-tools)
foreach(tool ${MS_FIELD_TOOLS})
  if(NOT TARGET ${tool})
    continue()
  endif()
  if(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    # Of the runtime's objects a tool keeps only the sections it calls into.
    target_link_options(${tool} PRIVATE -static-libstdc++ -static-libgcc LINKER:--as-needed LINKER:--gc-sections)
  endif()
  ms_install_man_page(${tool} 1)
  # On PATH: a link in /usr/bin to the tool's fixed place. Made in the build
  # tree and installed as the link it is (absolute, as links between
  # top-level directories are in Debian).
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/usr-bin)
  file(CREATE_LINK /opt/meterscribe/bin/${tool} ${CMAKE_BINARY_DIR}/usr-bin/${tool} SYMBOLIC)
  install(FILES ${CMAKE_BINARY_DIR}/usr-bin/${tool} DESTINATION usr/bin)
endforeach()

# --- Debian package (cpack -G DEB) ---------------------------------------
if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  # Native builds: the build machine's architecture. Cross builds get it
  # from their toolchain file.
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE MS_DEB_ARCH
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${MS_DEB_ARCH})
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME meterscribe)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "meterscribe developers <meterscribe@example.net>")
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Modbus RTU data logger for embedded gateways")
set(CPACK_PACKAGE_DESCRIPTION [[meterscribe polls up to ten meters as the Modbus RTU master on one serial
line and writes every valid response, byte for byte in hexadecimal, into
time-stamped log files in RAM or on a memory card. Log files that reach a
configured age are handed one by one to an upload script; when uploads
fail and the storage fills up, released data is trimmed, in the order
the directory lists the files (not oldest first).
.
The package holds the daemon, the field tools that check a settings file,
decode log files, poll the meters once and report the gateway's state,
sample upload, trimming and memory-card scripts, a commented settings
example, manual pages, a systemd unit, a tmpfs mount unit for the volatile
log directory and the tmpfiles.d entry for the log directories.]])
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The toolchain's C library is no dpkg package of the target architecture,
# so dpkg-shlibdeps cannot work for cross builds: the dependency is fixed at
# the version the build uses (Debian 12). The C++ runtime is linked into the
# daemon and the field tools, which therefore need the C library alone.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34)")
# curl: the sample send script delivers with it.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "curl")
set(MS_DEB_CONTROL ${CMAKE_BINARY_DIR}/deb-control)
file(MAKE_DIRECTORY ${MS_DEB_CONTROL})
set(MS_CONFFILES "")
foreach(script ${MS_SAMPLE_SCRIPTS})
  string(APPEND MS_CONFFILES "/opt/meterscribe/etc/${script}\n")
endforeach()
file(WRITE ${MS_DEB_CONTROL}/conffiles ${MS_CONFFILES})
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${MS_DEB_CONTROL}/conffiles")
foreach(script postinst prerm postrm)
  configure_file(${MS_ETC_SOURCE}/debian/${script} ${MS_DEB_CONTROL}/${script} COPYONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${MS_DEB_CONTROL}/${script})
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)

# --- The server package: meterscribe-server ------------------------------
# meterscribe-ingest, its unit, its configuration and the schema, for the
# server the gateways deliver to. Its files are the install component
# "server", left out of the default installation and so out of the gateway
# package, which stays free of libpq. A second CPack configuration, the
# gateway's with these changes, packs that component alone:
#   cpack --config CPackServerConfig.cmake   (scripts/package-server)
if(TARGET meterscribe-ingest)
  if(NOT CMAKE_CXX_FLAGS MATCHES "-fsanitize")
    # The C++ runtime linked in, as for the field tools: the package needs
    # the C library and libpq alone, on every architecture alike.
    target_link_options(meterscribe-ingest PRIVATE -static-libstdc++ -static-libgcc LINKER:--as-needed)
  endif()
  if(METERSCRIBE_TARGET_ROOT)
    # libpq's own libraries (TLS, Kerberos, LDAP) are not in the target
    # root: they are the package's dependencies on the server, not the
    # link's.
    target_link_options(meterscribe-ingest PRIVATE LINKER:--allow-shlib-undefined)
  endif()
  set(MS_SERVER_INSTALL COMPONENT server EXCLUDE_FROM_ALL)
  install(TARGETS meterscribe-ingest RUNTIME DESTINATION usr/bin ${MS_SERVER_INSTALL})
  install(FILES ${MS_ETC_SOURCE}/meterscribe-ingest.service DESTINATION lib/systemd/system ${MS_SERVER_INSTALL})
  install(FILES ${MS_ETC_SOURCE}/meterscribe-server/ingest.conf DESTINATION etc/meterscribe-server ${MS_SERVER_INSTALL})
  install(FILES ${MS_ETC_SOURCE}/meterscribe-server/sysusers.conf DESTINATION usr/lib/sysusers.d
          RENAME meterscribe-server.conf ${MS_SERVER_INSTALL})
  install(FILES ${PROJECT_SOURCE_DIR}/tools/meterscribe-ingest/schema.sql
          DESTINATION usr/share/meterscribe-server ${MS_SERVER_INSTALL})
  install(FILES ${MS_ETC_SOURCE}/debian/copyright ${MS_CHANGELOG_GZ}
          DESTINATION usr/share/doc/meterscribe-server ${MS_SERVER_INSTALL})
  install(FILES ${MS_ETC_SOURCE}/debian/server/lintian-overrides DESTINATION usr/share/lintian/overrides
          RENAME meterscribe-server ${MS_SERVER_INSTALL})
  ms_install_man_page(meterscribe-ingest 1 server)

  set(MS_SERVER_CONTROL ${CMAKE_BINARY_DIR}/deb-control-server)
  file(MAKE_DIRECTORY ${MS_SERVER_CONTROL})
  file(WRITE ${MS_SERVER_CONTROL}/conffiles "/etc/meterscribe-server/ingest.conf\n")
  set(MS_SERVER_CONTROL_EXTRA ${MS_SERVER_CONTROL}/conffiles)
  foreach(script postinst prerm postrm)
    configure_file(${MS_ETC_SOURCE}/debian/server/${script} ${MS_SERVER_CONTROL}/${script} COPYONLY
                   FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    list(APPEND MS_SERVER_CONTROL_EXTRA ${MS_SERVER_CONTROL}/${script})
  endforeach()
  file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/CPackServerConfig.cmake @ONLY CONTENT [=[
# The server package: the gateway package's configuration, packing the
# install component "server" under its own name.
include("@CMAKE_BINARY_DIR@/CPackConfig.cmake")
set(CPACK_INSTALL_CMAKE_PROJECTS "@CMAKE_BINARY_DIR@;@PROJECT_NAME@;server;/")
set(CPACK_PACKAGE_NAME meterscribe-server)
set(CPACK_PACKAGE_FILE_NAME meterscribe-server-@PROJECT_VERSION@)
set(CPACK_DEBIAN_PACKAGE_SOURCE meterscribe)
set(CPACK_DEBIAN_PACKAGE_SECTION database)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "loads meterscribe log files into PostgreSQL")
set(CPACK_PACKAGE_DESCRIPTION [[meterscribe-ingest runs on the server that meterscribe gateways deliver
their log files to. It checks and decodes every line with each gateway's
settings and register map and loads the readings into PostgreSQL, every
reading exactly once, lines that fail the checks into a table of their own
with the reason. As a service it watches the delivered files and loads each
one as soon as it has arrived.
.
The package holds the tool, its manual page, a systemd unit that runs it as
an unprivileged system user, its configuration and the database schema.]])
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libpq5")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "postgresql")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "@MS_SERVER_CONTROL_EXTRA@")
]=])
endif()
