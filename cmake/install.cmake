# `cmake --install` and the Debian package: the program, the five files it
# reads from its working directory, and a launcher on the PATH that starts it
# in their folder from wherever it is called.
set(program_dir ${CMAKE_INSTALL_LIBEXECDIR}/mosaic-demo)
set(data_dir ${CMAKE_INSTALL_DATADIR}/mosaic-demo)

install(TARGETS mosaic-demo RUNTIME DESTINATION ${program_dir})
# The preview finds the data folder from where it lies, so it needs no launcher.
install(TARGETS mosaic-preview RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES data/mosaic.vert data/mosaic.frag data/sdf.frag data/scroller.png data/chiptune2.ogg
        DESTINATION ${data_dir})

# Paths relative to the launcher, so an installed tree works wherever it is
# unpacked.
file(RELATIVE_PATH program_from_bin /${CMAKE_INSTALL_BINDIR} /${program_dir}/mosaic-demo)
configure_file(cmake/launcher.sh.in launcher/mosaic-demo @ONLY)
install(PROGRAMS ${CMAKE_CURRENT_BINARY_DIR}/launcher/mosaic-demo DESTINATION ${CMAKE_INSTALL_BINDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_CONTACT "mosaic-demo developers <mosaic-demo@localhost>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION games)
# The linked libraries' packages are found from the program; SDL opens libGL
# at run time, so that one is named here (it brings a GL driver along).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS libgl1)
set(CPACK_STRIP_FILES ON)
include(CPack)
