# The demo as a web page: the scene compiled to WebAssembly over WebGL2 with
# the page's own shell, written with the five data files it fetches into
# MOSAIC_WEB_PAGE_DIR, a folder that any web server can host as it is.
set(MOSAIC_WEB_PAGE_DIR ${CMAKE_BINARY_DIR}/page CACHE PATH "Where the page's files are written")

set(web ${PROJECT_SOURCE_DIR}/src/web)
add_executable(mosaic-web
  ${web}/page.cpp ${web}/webgl2-layer.cpp ${web}/web-audio.cpp ${web}/camera.cpp ${web}/camera-feed.cpp
  ${web}/stb-image.cpp
  src/scene/demo.cpp src/scene/palette.cpp src/camera/nearest-palette.cpp src/camera/scale-to-source.cpp
  src/assets/fatal-report.cpp src/assets/regular-file.cpp src/assets/safe-image.cpp)
set_target_properties(mosaic-web PROPERTIES OUTPUT_NAME index SUFFIX .html
  RUNTIME_OUTPUT_DIRECTORY ${MOSAIC_WEB_PAGE_DIR})
target_include_directories(mosaic-web PRIVATE src src/scene src/camera src/assets src/music src/webcam-v4l2 ${web})
# Debian's header-only libraries, without the rest of the host's headers
# that lie beside glm's folder.
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/host-headers)
file(CREATE_LINK /usr/include/glm ${CMAKE_BINARY_DIR}/host-headers/glm SYMBOLIC)
target_include_directories(mosaic-web SYSTEM PRIVATE /usr/include/stb ${CMAKE_BINARY_DIR}/host-headers)
target_compile_options(mosaic-web PRIVATE -fexceptions)
target_link_options(mosaic-web PRIVATE -fexceptions
  -sMIN_WEBGL_VERSION=2 -sMAX_WEBGL_VERSION=2 -sALLOW_MEMORY_GROWTH=1 -sENVIRONMENT=web
  -sEXPORTED_FUNCTIONS=_main,_resumeDrawing -sEXPORTED_RUNTIME_METHODS=FS,addRunDependency,removeRunDependency
  --shell-file ${web}/index.html "SHELL:--pre-js ${web}/web-audio.js" "SHELL:--pre-js ${web}/page.js"
  # 3.1.6's minifier of the page breaks at -O2.
  -sMINIFY_HTML=0)
# emcc's JavaScript optimizer needs acorn, which Debian keeps in its folder of
# node modules; a node from elsewhere does not look there.
set_property(TARGET mosaic-web PROPERTY RULE_LAUNCH_LINK "${CMAKE_COMMAND} -E env NODE_PATH=/usr/share/nodejs")
set_property(TARGET mosaic-web APPEND PROPERTY LINK_DEPENDS ${web}/index.html ${web}/web-audio.js ${web}/page.js)

foreach(file mosaic.vert mosaic.frag sdf.frag scroller.png chiptune2.ogg)
  add_custom_command(OUTPUT ${MOSAIC_WEB_PAGE_DIR}/${file}
    COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/data/${file} ${MOSAIC_WEB_PAGE_DIR}/${file}
    DEPENDS ${PROJECT_SOURCE_DIR}/data/${file})
  list(APPEND page_data ${MOSAIC_WEB_PAGE_DIR}/${file})
endforeach()
add_custom_target(web-data ALL DEPENDS ${page_data})
