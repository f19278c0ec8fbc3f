# What `cmake --install` puts where, and the packages `cpack` makes of it: a Debian package from
# the native build, a zip from the Windows cross build.
set(_pkg ${CMAKE_SOURCE_DIR}/packaging)

if(WIN32)
  # The manifest names the processor architecture of the build it is linked into.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(ZEM_MANIFEST_ARCH amd64)
    set(ZEM_WINDOWS_PACKAGE win64)
  else()
    set(ZEM_MANIFEST_ARCH x86)
    set(ZEM_WINDOWS_PACKAGE win32)
  endif()
  configure_file(${_pkg}/windows/zem.manifest.in ${CMAKE_BINARY_DIR}/rc/zem.manifest @ONLY)

  # Each program carries its version, the application manifest (themed common controls, DPI
  # awareness, no elevation) and the icon.
  function(zem_windows_resources target description)
    if(NOT TARGET ${target})
      return()
    endif()
    set(ZEM_RC_NAME ${target})
    set(ZEM_RC_DESCRIPTION ${description})
    set(ZEM_RC_ICON ${_pkg}/icons/zem.ico)
    set(ZEM_RC_MANIFEST ${CMAKE_BINARY_DIR}/rc/zem.manifest)
    configure_file(${_pkg}/windows/program.rc.in ${CMAKE_BINARY_DIR}/rc/${target}.rc @ONLY)
    target_sources(${target} PRIVATE ${CMAKE_BINARY_DIR}/rc/${target}.rc)
    set_property(SOURCE ${CMAKE_BINARY_DIR}/rc/${target}.rc TARGET_DIRECTORY ${target}
      APPEND PROPERTY OBJECT_DEPENDS ${ZEM_RC_ICON} ${ZEM_RC_MANIFEST})
  endfunction()
  zem_windows_resources(zem "Zem flash programmer")
  zem_windows_resources(zemcli "Zem flash programmer, command line")

  # The zip holds the programs and the network library side by side, which is where the programs
  # look for it, with the two texts beside them.
  foreach(program zem zemcli)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION .)
    endif()
  endforeach()
  # The DLL alone: its import library is for linking, which nobody does.
  install(FILES $<TARGET_FILE:ipserial> DESTINATION .)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION .)

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "zem-${PROJECT_VERSION}-${ZEM_WINDOWS_PACKAGE}")
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
else()
  foreach(program zem zemcli zem-sim zem-mkstream)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
  endforeach()
  install(TARGETS ipserial LIBRARY DESTINATION ${ZEM_INSTALL_LIBDIR} NAMELINK_SKIP)

  # Man pages compressed, as Debian keeps them.
  set(_man_pages zem zemcli zem-sim zem-mkstream)
  set(_man_out ${CMAKE_BINARY_DIR}/man)
  find_program(ZEM_GZIP gzip)
  foreach(page ${_man_pages})
    if(ZEM_GZIP)
      add_custom_command(OUTPUT ${_man_out}/${page}.1.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${_man_out}
        COMMAND ${ZEM_GZIP} -9nc ${_pkg}/man/${page}.1 > ${_man_out}/${page}.1.gz
        DEPENDS ${_pkg}/man/${page}.1 VERBATIM)
      list(APPEND _man_files ${_man_out}/${page}.1.gz)
    else()
      list(APPEND _man_files ${_pkg}/man/${page}.1)
    endif()
  endforeach()
  add_custom_target(zem_man_pages ALL DEPENDS ${_man_files})
  install(FILES ${_man_files} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

  if(TARGET zem)
    install(FILES ${_pkg}/zem.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
    install(FILES ${_pkg}/icons/zem.svg
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
    install(FILES ${_pkg}/icons/zem.png
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps)
  endif()
  install(FILES ${_pkg}/zemcli.bash-completion
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME zemcli)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/LICENSE
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zem)
  # Debian looks for the licence under this name.
  install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zem
    RENAME copyright)
  # A stream to try the programs on with zem-sim.
  install(FILES ${CMAKE_SOURCE_DIR}/tools/samples/sample.bin
    DESTINATION ${CMAKE_INSTALL_DATADIR}/zem)

  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The runtime libraries the programs link, as dpkg-shlibdeps finds them.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
endif()

set(CPACK_PACKAGE_NAME zem)
set(CPACK_PACKAGE_VENDOR "The Zem authors")
set(CPACK_PACKAGE_CONTACT "The Zem authors <zem@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Flash programmer for cellular radio modules")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Zem programs a module's flash from a stream file over a local serial port, a\n\
network serial device server (RFC 2217) or a disk file: the desktop program zem,\n\
the command-line programmer zemcli, the module simulator zem-sim and the stream\n\
tool zem-mkstream.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
include(CPack)
