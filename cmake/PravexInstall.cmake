# What `cmake --install` puts where (GNUInstallDirs), and the Debian package CPack makes of it. Only the
# programs, the simulated driver and the desktop files are installed: nothing the tests or benchmarks use.
# Configure with -DCMAKE_INSTALL_PREFIX=/usr for a package (package.sh does).
set(pravex_programs pravex pravex-log pravex-adapters pravex-registry pravex-devsim)
set(pravex_data ${CMAKE_SOURCE_DIR}/packaging)

# The simulated driver is dlopen()ed by name; the programs' RUNPATH names its folder, in the build tree
# and once installed, so PRAVEX_D2XX_LIBRARY=libpravex-d2xx-sim.so works without LD_LIBRARY_PATH.
file(RELATIVE_PATH pravex_bin_to_priv "/${CMAKE_INSTALL_BINDIR}" "/${PRAVEX_PRIVLIBDIR}")
foreach(tool ${pravex_programs})
    if(NOT TARGET ${tool})
        message(FATAL_ERROR "the installed program ${tool} has no target")
    endif()
    target_link_libraries(${tool} PRIVATE pravex_version)
    set_target_properties(${tool} PROPERTIES INSTALL_RPATH "$ORIGIN/${pravex_bin_to_priv}"
        BUILD_RPATH "$<TARGET_FILE_DIR:pravex-d2xx-sim>")
    install(TARGETS ${tool} RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
endforeach()
install(TARGETS pravex-d2xx-sim LIBRARY DESTINATION "${PRAVEX_PRIVLIBDIR}" NAMELINK_SKIP)

install(FILES ${pravex_data}/${PRAVEX_APP_ID}.desktop DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
install(FILES ${pravex_data}/${PRAVEX_APP_ID}.metainfo.xml DESTINATION "${CMAKE_INSTALL_DATADIR}/metainfo")
install(FILES ${pravex_data}/icons/${PRAVEX_APP_ID}.svg
    DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps")
# udev's own folder: /lib/udev on Debian 12 (the same folder as /usr/lib/udev on its merged /usr, and the
# one lintian checks), /usr/lib/udev where udev.pc says so (Debian 13).
pkg_get_variable(pravex_udevdir udev udevdir)
if(NOT pravex_udevdir)
    set(pravex_udevdir /lib/udev)
endif()
set(PRAVEX_UDEV_RULES_DIR "${pravex_udevdir}/rules.d" CACHE PATH "Where the udev rule for FTDI adapters goes")
install(FILES ${pravex_data}/70-pravex-ftdi.rules DESTINATION "${PRAVEX_UDEV_RULES_DIR}")
foreach(tool pravex-log pravex-adapters pravex-registry pravex-devsim)
    install(FILES ${pravex_data}/completions/${tool}
        DESTINATION "${CMAKE_INSTALL_DATADIR}/bash-completion/completions")
endforeach()

# Generated files: menu icon sizes from the SVG, manual pages from their scdoc sources, the changelog.
set(pravex_generated "")
find_program(PRAVEX_RSVG_CONVERT rsvg-convert)
find_program(PRAVEX_SCDOC scdoc)
if(NOT PRAVEX_RSVG_CONVERT OR NOT PRAVEX_SCDOC)
    message(WARNING "rsvg-convert or scdoc missing (scripts/install-deps.sh installs them): "
        "no menu icons or manual pages")
else()
    foreach(size 16 24 32 48 64 128 256)
        set(png ${CMAKE_BINARY_DIR}/icons/${size}/${PRAVEX_APP_ID}.png)
        add_custom_command(OUTPUT ${png}
            COMMAND ${PRAVEX_RSVG_CONVERT} -w ${size} -h ${size} -o ${png}
                    ${pravex_data}/icons/${PRAVEX_APP_ID}.svg
            DEPENDS ${pravex_data}/icons/${PRAVEX_APP_ID}.svg VERBATIM)
        list(APPEND pravex_generated ${png})
        install(FILES ${png} DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps")
    endforeach()
    foreach(tool ${pravex_programs})
        set(page ${CMAKE_BINARY_DIR}/man/${tool}.1.gz)
        add_custom_command(OUTPUT ${page}
            COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
            COMMAND sh -c "\"$1\" < \"$2\" | gzip -9n > \"$3\"" sh ${PRAVEX_SCDOC}
                    ${pravex_data}/man/${tool}.1.scd ${page}
            DEPENDS ${pravex_data}/man/${tool}.1.scd VERBATIM)
        list(APPEND pravex_generated ${page})
        install(FILES ${page} DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
    endforeach()
endif()
set(changelog ${CMAKE_BINARY_DIR}/changelog.gz)
add_custom_command(OUTPUT ${changelog}
    COMMAND sh -c "gzip -9n < \"$1\" > \"$2\"" sh ${pravex_data}/changelog ${changelog}
    DEPENDS ${pravex_data}/changelog VERBATIM)
list(APPEND pravex_generated ${changelog})
add_custom_target(pravex_install_data ALL DEPENDS ${pravex_generated})
install(FILES ${pravex_data}/copyright ${changelog} DESTINATION "${CMAKE_INSTALL_DOCDIR}")

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pravex)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "PRAVEX developers <pravex@pravex.example>")
set(CPACK_PACKAGE_VENDOR "PRAVEX developers")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dlopen()ed Qt platform plugins are invisible to dpkg-shlibdeps: xcb comes with libqt6gui6.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://pravex.example/")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "monitor for the PRAVEX battery device on an FTDI USB-serial link")
set(CPACK_PACKAGE_DESCRIPTION [=[The PRAVEX reports its battery voltage and the state of its DC-DC
converter as short text lines over an FTDI USB-serial adapter. The monitor
shows the voltage on a seven-segment readout, warns of a low battery, keeps
a timestamped log, draws the voltage over time and exports CSV and JPEG
files. A chip watcher window lists the FTDI adapters as they come and go.

Command-line tools: pravex-log logs a device without a window,
pravex-adapters lists FTDI adapters, pravex-registry edits the settings
store and pravex-devsim simulates a device on a pseudo-terminal. A udev
rule gives the logged-in user access to FTDI adapters' USB device nodes.]=])
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
