# `cmake --install` and the Debian package: the demo, the five files it reads
# from its working directory, and a launcher on the PATH that starts it in
# their folder from wherever it is called; the recorder and the preview, which
# find that folder themselves; the menu entry, icons and AppStream metadata;
# the manual pages, the copyright notices and the changelog.
set(program_dir ${CMAKE_INSTALL_LIBEXECDIR}/mosaic-demo)
set(data_dir ${CMAKE_INSTALL_DATADIR}/mosaic-demo)
# The AppStream id, which names the menu entry and the metadata too; software
# centres know the demo by it, so it must not change once published.
set(app_id org.example.MosaicDemo)
set(MOSAIC_HOMEPAGE "https://mosaic-demo.example.org" CACHE STRING
    "The project's web page; its docs/screenshot.png is the screenshot software centres show")

install(TARGETS mosaic-demo RUNTIME DESTINATION ${program_dir})
# The recorder and the preview find the data folder from where they lie, so
# they need no launcher.
install(TARGETS mosaic-record mosaic-preview RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES data/mosaic.vert data/mosaic.frag data/sdf.frag data/scroller.png data/chiptune2.ogg
        DESTINATION ${data_dir})

# Paths relative to the launcher, so an installed tree works wherever it is
# unpacked.
file(RELATIVE_PATH program_from_bin /${CMAKE_INSTALL_BINDIR} /${program_dir}/mosaic-demo)
configure_file(cmake/launcher.sh.in launcher/mosaic-demo @ONLY)
install(PROGRAMS ${CMAKE_CURRENT_BINARY_DIR}/launcher/mosaic-demo DESTINATION ${CMAKE_INSTALL_BINDIR})

# The menu entry, its icon (cut out of docs/screenshot.png by tools/icon) and
# what software centres list.
install(FILES desktop/${app_id}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size 16 24 32 48 64 128 256)
  install(FILES desktop/icons/${size}x${size}.png RENAME mosaic-demo.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
configure_file(desktop/${app_id}.metainfo.xml.in desktop/${app_id}.metainfo.xml @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/desktop/${app_id}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# Manual pages and the changelog, compressed as Debian keeps them.
find_program(HELP2MAN help2man REQUIRED)
find_program(GZIP gzip REQUIRED)
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/man)
configure_file(debian/changelog changelog COPYONLY)
# The tools' pages are made from their --help, so the two never disagree.
foreach(program mosaic-record mosaic-preview)
  add_custom_command(OUTPUT man/${program}.1
    COMMAND ${HELP2MAN} --no-info --version-string=${PROJECT_VERSION} --section=1
            --include=${PROJECT_SOURCE_DIR}/man/${program}.h2m
            --output=man/${program}.1 $<TARGET_FILE:${program}>
    DEPENDS ${program} ${PROJECT_SOURCE_DIR}/man/${program}.h2m
    VERBATIM)
endforeach()
set(compressed_docs man/mosaic-record.1 man/mosaic-preview.1 changelog)
foreach(doc ${compressed_docs})
  add_custom_command(OUTPUT ${doc}.gz
    COMMAND ${GZIP} -9nkf ${doc}
    DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${doc}
    VERBATIM)
  list(APPEND compressed_outputs ${CMAKE_CURRENT_BINARY_DIR}/${doc}.gz)
endforeach()
add_custom_target(compressed-docs ALL DEPENDS ${compressed_outputs})
# The demo's page names the data folder, whose prefix is known only when
# installing: `cmake --install --prefix` and the package each choose their
# own, so the page is made then.
install(CODE "
  set(PROJECT_VERSION ${PROJECT_VERSION})
  set(CMAKE_INSTALL_FULL_DATADIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}\")
  set(page \"${CMAKE_CURRENT_BINARY_DIR}/man/installed/mosaic-demo.6\")
  configure_file(\"${PROJECT_SOURCE_DIR}/man/mosaic-demo.6.in\" \"\${page}\" @ONLY)
  execute_process(COMMAND ${GZIP} -9nf \"\${page}\" COMMAND_ERROR_IS_FATAL ANY)
  file(INSTALL \"\${page}.gz\" DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_MANDIR}/man6\")
")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/mosaic-record.1.gz ${CMAKE_CURRENT_BINARY_DIR}/man/mosaic-preview.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_CONTACT "Seed 527f4dbd maintainers <maintainers@users.noreply.c-seed-527f4dbd.example>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${MOSAIC_HOMEPAGE})
# The synopsis is the project's DESCRIPTION.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Mosaic is a short real-time demo in the demoscene manner. Every frame it
ray-marches a signed-distance-field scene into a 300x300 picture and lays that
picture over the whole screen as tiles in a fixed palette of 33 colours, with
a text scroller running across it, to an 80-second chiptune for pulse,
triangle and noise voices. The mouse steers the size of the tiles.

It needs OpenGL 3.3 with direct state access. The package also holds
mosaic-record, which records the demo off-screen through EGL, frame by frame,
into an MP4 or WebM video with its sound track, using ffmpeg, and
mosaic-preview, which plays the demo in a window that follows its shader and
banner files as they are saved, with the timeline under the keys.")
# The linked libraries' packages are found from the programs; SDL opens libGL
# at run time, so that one is named here (it brings a GL driver along). Only
# the recorder runs ffmpeg. The preview's messages take the sans-serif font
# that fontconfig finds; its configuration brings some font along, and
# DejaVu is the one the preview is made to look right with.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS libgl1)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ffmpeg, fonts-dejavu-core")
set(CPACK_STRIP_FILES ON)
include(CPack)
