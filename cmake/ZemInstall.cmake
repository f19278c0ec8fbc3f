# What `cmake --install` puts where, and the packages `cpack` makes of it: a Debian package from
# the native build, a zip from the Windows cross build.
set(_pkg ${CMAKE_SOURCE_DIR}/packaging)

if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(ZEM_WINDOWS_ARCH win64)
    set(ZEM_MANIFEST_ARCH amd64)
  else()
    set(ZEM_WINDOWS_ARCH win32)
    set(ZEM_MANIFEST_ARCH x86)
  endif()
  # Windows versions have four parts: MAJOR.MINOR.PATCH.0, so that 1.9.1 is told from 1.9.
  set(ZEM_VERSION_PATCH ${PROJECT_VERSION_PATCH})
  if(NOT ZEM_VERSION_PATCH)
    set(ZEM_VERSION_PATCH 0)
  endif()
  set(ZEM_VERSION_QUAD
    ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${ZEM_VERSION_PATCH}.0)
  set(ZEM_RC_MANIFEST ${CMAKE_BINARY_DIR}/rc/zem.manifest)
  configure_file(${_pkg}/windows/zem.manifest.in ${ZEM_RC_MANIFEST} @ONLY)

  # Each program carries its version, the application manifest (themed common controls, DPI
  # awareness, no elevation) and the icon; the library its version.
  function(zem_windows_resources target description template)
    if(NOT TARGET ${target})
      return()
    endif()
    set(ZEM_RC_NAME ${target})
    set(ZEM_RC_DESCRIPTION ${description})
    set(ZEM_RC_ICON ${_pkg}/icons/zem.ico)
    configure_file(${_pkg}/windows/${template} ${CMAKE_BINARY_DIR}/rc/${target}.rc @ONLY)
    target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/rc/${target}.rc)
    set_property(SOURCE ${CMAKE_BINARY_DIR}/rc/${target}.rc TARGET_DIRECTORY ${target}
      APPEND PROPERTY OBJECT_DEPENDS ${ZEM_RC_ICON} ${ZEM_RC_MANIFEST})
  endfunction()
  zem_windows_resources(zem "Zem flash programmer" program.rc.in)
  zem_windows_resources(zemcli "Zem flash programmer, command line" program.rc.in)
  zem_windows_resources(ipserial "Zem network serial library" library.rc.in)

  # The zip holds the programs and the network library side by side, which is where the programs
  # look for it, with the texts beside them. Installed as targets, so that they are stripped.
  foreach(program zem zemcli)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION .)
    endif()
  endforeach()
  # The DLL alone: its import library is for linking, which nobody does.
  install(TARGETS ipserial RUNTIME DESTINATION .)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE
    ${_pkg}/windows/NOTICES.txt DESTINATION .)

  # The installer: `packaging/windows/make-msi BUILD_DIR OUT.msi` stages the stripped install
  # into msi-stage/ and builds this with wixl.
  set(ZEM_MSI_VERSION ${ZEM_VERSION_QUAD})
  if(ZEM_WINDOWS_ARCH STREQUAL win64)
    set(ZEM_MSI_PLATFORM x64)
    set(ZEM_MSI_WIN64 yes)
    set(ZEM_MSI_PROGRAM_FILES ProgramFiles64Folder)
    set(ZEM_MSI_SHORTCUT Zem)
    set(ZEM_MSI_STATION_SHORTCUT "Zem Station")
  else()
    set(ZEM_MSI_PLATFORM x86)
    set(ZEM_MSI_WIN64 no)
    set(ZEM_MSI_PROGRAM_FILES ProgramFilesFolder)
    # Both installers may share one Start menu.
    set(ZEM_MSI_SHORTCUT "Zem (32-bit)")
    set(ZEM_MSI_STATION_SHORTCUT "Zem Station (32-bit)")
  endif()
  # Fixed for an architecture across versions, so that a newer installer replaces an older one;
  # different between the architectures, which install side by side.
  set(_ns 6ba7b811-9dad-11d1-80b4-00c04fd430c8)
  string(UUID ZEM_MSI_UPGRADE_CODE NAMESPACE ${_ns} NAME "zem-upgrade-${ZEM_WINDOWS_ARCH}" TYPE SHA1 UPPER)
  foreach(component PROGRAMS MENU STATION AUTOSTART PATH)
    string(UUID ZEM_MSI_GUID_${component} NAMESPACE ${_ns}
      NAME "zem-${component}-${ZEM_WINDOWS_ARCH}" TYPE SHA1 UPPER)
  endforeach()
  configure_file(${_pkg}/windows/zem.wxs.in ${CMAKE_BINARY_DIR}/zem.wxs @ONLY)
  file(WRITE ${CMAKE_BINARY_DIR}/msi-arch.txt "${ZEM_MSI_PLATFORM}\n")

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "zem-${PROJECT_VERSION}-${ZEM_WINDOWS_ARCH}")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  # Two packages: zemcli, all a headless station needs (the command-line programmer, the
  # simulator, the stream tool and the network library, no GUI libraries), and zem, the desktop
  # program on top of it.
  set(ZEM_MAINTAINER "Zem Maintainers <maintainers@zem-programmer.org>" CACHE STRING
    "Maintainer of the Debian packages")
  set(ZEM_DEB_REVISION 1 CACHE STRING "Debian revision of the packages")
  set(ZEM_DEB_VERSION ${PROJECT_VERSION}-${ZEM_DEB_REVISION})

  foreach(program zemcli zem-sim zem-mkstream)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT zemcli)
    endif()
  endforeach()
  if(TARGET zem)
    install(TARGETS zem RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT zem)
  endif()
  install(TARGETS ipserial LIBRARY DESTINATION ${ZEM_INSTALL_LIBDIR} NAMELINK_SKIP
    COMPONENT zemcli)

  # Man pages carry the project's version and the library folder; compressed, as Debian keeps
  # them.
  set(ZEM_LIBRARY_FOLDER /usr/${ZEM_INSTALL_LIBDIR})
  set(_man_out ${CMAKE_BINARY_DIR}/man)
  find_program(ZEM_GZIP gzip REQUIRED)
  set(_gzipped)
  foreach(page zem zemcli zem-sim zem-mkstream)
    configure_file(${_pkg}/man/${page}.1 ${_man_out}/${page}.1 @ONLY)
    add_custom_command(OUTPUT ${_man_out}/${page}.1.gz
      COMMAND ${ZEM_GZIP} -9nc ${_man_out}/${page}.1 > ${_man_out}/${page}.1.gz
      DEPENDS ${_man_out}/${page}.1 VERBATIM)
    list(APPEND _gzipped ${_man_out}/${page}.1.gz)
    set(_component zemcli)
    if(page STREQUAL zem)
      set(_component zem)
    endif()
    install(FILES ${_man_out}/${page}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
      COMPONENT ${_component})
  endforeach()

  # Each package's documentation folder: the machine-readable copyright with the notices of the
  # libraries compiled in, the changelog, and lintian's overrides.
  set(_deb_out ${CMAKE_BINARY_DIR}/debian)
  configure_file(${_pkg}/debian/copyright.in ${_deb_out}/copyright @ONLY)
  include(${CMAKE_SOURCE_DIR}/cmake/ZemDebianChangelog.cmake)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/NEWS)
  zem_debian_changelog(${CMAKE_SOURCE_DIR}/NEWS ${_deb_out}/changelog "${ZEM_MAINTAINER}"
    ${ZEM_DEB_REVISION})
  add_custom_command(OUTPUT ${_deb_out}/changelog.Debian.gz
    COMMAND ${ZEM_GZIP} -9nc ${_deb_out}/changelog > ${_deb_out}/changelog.Debian.gz
    DEPENDS ${_deb_out}/changelog VERBATIM)
  # Debian keeps documentation of some size compressed.
  add_custom_command(OUTPUT ${_deb_out}/README.md.gz
    COMMAND ${ZEM_GZIP} -9nc ${CMAKE_SOURCE_DIR}/README.md > ${_deb_out}/README.md.gz
    DEPENDS ${CMAKE_SOURCE_DIR}/README.md VERBATIM)
  add_custom_target(zem_packaging_files ALL
    DEPENDS ${_gzipped} ${_deb_out}/changelog.Debian.gz ${_deb_out}/README.md.gz)
  foreach(component zemcli zem)
    install(FILES ${_deb_out}/copyright ${_deb_out}/changelog.Debian.gz
      DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${component} COMPONENT ${component})
    install(FILES ${_pkg}/debian/${component}.lintian-overrides
      DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${component}
      COMPONENT ${component})
  endforeach()
  install(FILES ${_deb_out}/README.md.gz DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zemcli
    COMPONENT zemcli)

  if(TARGET zem)
    install(FILES ${_pkg}/zem.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
      COMPONENT zem)
    install(FILES ${_pkg}/icons/zem.svg
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT zem)
    install(FILES ${_pkg}/icons/zem.png
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps COMPONENT zem)
  endif()
  install(FILES ${_pkg}/zemcli.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME zemcli
    COMPONENT zemcli)
  # A station started at boot: a systemd unit per station, each reading /etc/zem/NAME.conf, and
  # an example of that file.
  install(FILES ${_pkg}/systemd/zem-station@.service DESTINATION lib/systemd/system
    COMPONENT zemcli)
  install(FILES ${_pkg}/systemd/station.conf
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zemcli/examples COMPONENT zemcli)
  # A stream to try the programs on with zem-sim.
  install(FILES ${CMAKE_SOURCE_DIR}/tools/samples/sample.bin
    DESTINATION ${CMAKE_INSTALL_DATADIR}/zem COMPONENT zemcli)

  # The compiler's identification in every object (.comment) says nothing a user needs; Debian's
  # own packages leave it out. Run after the install has stripped the files.
  find_program(ZEM_OBJCOPY NAMES objcopy REQUIRED)
  foreach(program zemcli zem-sim zem-mkstream zem)
    if(TARGET ${program})
      set(_component zemcli)
      if(program STREQUAL zem)
        set(_component zem)
      endif()
      install(CODE "execute_process(COMMAND ${ZEM_OBJCOPY} --remove-section=.comment
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\"
        COMMAND_ERROR_IS_FATAL ANY)" COMPONENT ${_component})
    endif()
  endforeach()
  install(CODE "execute_process(COMMAND ${ZEM_OBJCOPY} --remove-section=.comment
    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${ZEM_INSTALL_LIBDIR}/$<TARGET_FILE_NAME:ipserial>\"
    COMMAND_ERROR_IS_FATAL ANY)" COMPONENT zemcli)

  # Reproducible packages: every file in them dated with the source's own time (the last commit,
  # else the newest release in NEWS), which cpack reads from SOURCE_DATE_EPOCH.
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(_epoch $ENV{SOURCE_DATE_EPOCH})
  else()
    execute_process(COMMAND git -C ${CMAKE_SOURCE_DIR} log -1 --format=%ct
      OUTPUT_VARIABLE _epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE _no_git)
    if(_no_git OR NOT _epoch)
      file(STRINGS ${_deb_out}/changelog _last REGEX "^ -- " LIMIT_COUNT 1)
      string(REGEX REPLACE "^ -- .*  " "" _last "${_last}")
      execute_process(COMMAND date -u -d "${_last}" +%s OUTPUT_VARIABLE _epoch
        OUTPUT_STRIP_TRAILING_WHITESPACE)
    endif()
  endif()
  file(WRITE ${CMAKE_BINARY_DIR}/CPackProjectConfig.cmake
    "set(ENV{SOURCE_DATE_EPOCH} ${_epoch})\n")
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackProjectConfig.cmake)

  # The line service: its own package, with its systemd unit.
  if(TARGET zem-line)
    install(TARGETS zem-line RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT zem-line)
    install(FILES ${_pkg}/zem-line.service DESTINATION lib/systemd/system COMPONENT zem-line)
    configure_file(${_pkg}/man/zem-line.1 ${_man_out}/zem-line.1 @ONLY)
    add_custom_command(OUTPUT ${_man_out}/zem-line.1.gz
      COMMAND ${ZEM_GZIP} -9nc ${_man_out}/zem-line.1 > ${_man_out}/zem-line.1.gz
      DEPENDS ${_man_out}/zem-line.1 VERBATIM)
    add_custom_target(zem_line_packaging_files ALL DEPENDS ${_man_out}/zem-line.1.gz)
    install(FILES ${_man_out}/zem-line.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
      COMPONENT zem-line)
    install(FILES ${_deb_out}/copyright ${_deb_out}/changelog.Debian.gz
      DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zem-line COMPONENT zem-line)
    install(FILES ${_pkg}/debian/zem-line.lintian-overrides
      DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME zem-line COMPONENT zem-line)
  endif()

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_COMPONENTS_ALL zemcli)
  if(TARGET zem)
    list(APPEND CPACK_COMPONENTS_ALL zem)
  endif()
  if(TARGET zem-line)
    list(APPEND CPACK_COMPONENTS_ALL zem-line)
  endif()
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_DEBIAN_PACKAGE_RELEASE ${ZEM_DEB_REVISION})
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${ZEM_MAINTAINER})
  set(CPACK_DEBIAN_PACKAGE_SOURCE zem)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://zem-programmer.org/")
  # The runtime libraries the programs link, as dpkg-shlibdeps finds them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
  set(CPACK_DEBIAN_ZEMCLI_PACKAGE_NAME zemcli)
  set(CPACK_DEBIAN_ZEM_PACKAGE_NAME zem)
  set(CPACK_DEBIAN_ZEM_PACKAGE_DEPENDS "zemcli (= ${ZEM_DEB_VERSION})")
  set(CPACK_DEBIAN_ZEMCLI_DESCRIPTION
    "Flash programmer for cellular radio modules, command line\n\
Zem programs a module's flash from a stream file over a local serial port, a\n\
network serial device server (RFC 2217) or a disk file. This package holds\n\
what a headless station needs: the command-line programmer zemcli, the module\n\
simulator zem-sim, the stream tool zem-mkstream and the network serial\n\
library.")
  set(CPACK_DEBIAN_ZEM-LINE_PACKAGE_NAME zem-line)
  set(CPACK_DEBIAN_ZEM-LINE_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_ZEM-LINE_DESCRIPTION
    "Line service for Zem flash programming stations\n\
zem-line keeps the results that a line of Zem stations send, each once, in\n\
SQLite or PostgreSQL, locks the line to released jobs by the stream's SHA-256\n\
and answers stations and readers over HTTP or HTTPS.")
  set(CPACK_DEBIAN_ZEM_DESCRIPTION
    "Flash programmer for cellular radio modules, desktop program\n\
Zem programs a module's flash from a stream file over a local serial port, a\n\
network serial device server (RFC 2217) or a disk file. This package holds\n\
the desktop program zem, with its desktop entry and icon.")
endif()

set(CPACK_PACKAGE_NAME zem)
set(CPACK_PACKAGE_VENDOR "The Zem authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(WIN32)
  # The Debian packages' descriptions carry their own first lines.
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Flash programmer for cellular radio modules")
endif()
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
include(CPack)
