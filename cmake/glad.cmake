# The GL loader is generated at configure time from the Khronos registry that
# python3-glad carries; nothing generated is kept in the source tree.
find_program(GLAD_EXECUTABLE glad REQUIRED)
set(GLAD_DIR ${CMAKE_BINARY_DIR}/glad)
set(GLAD_ARGS --api gl:core=4.5
    --extensions GL_ARB_direct_state_access,GL_ARB_separate_shader_objects,GL_ARB_debug_output,GL_KHR_debug
    --out-path ${GLAD_DIR} --reproducible --quiet c --loader)
if(NOT EXISTS ${GLAD_DIR}/src/gl.c OR NOT "${GLAD_ARGS}" STREQUAL "${GLAD_GENERATED_ARGS}")
  execute_process(COMMAND ${GLAD_EXECUTABLE} ${GLAD_ARGS} RESULT_VARIABLE glad_result)
  if(NOT glad_result EQUAL 0)
    message(FATAL_ERROR "glad could not generate the GL loader")
  endif()
  set(GLAD_GENERATED_ARGS "${GLAD_ARGS}" CACHE INTERNAL "")
endif()
add_library(glad STATIC ${GLAD_DIR}/src/gl.c)
target_include_directories(glad SYSTEM PUBLIC ${GLAD_DIR}/include)
target_link_libraries(glad PUBLIC ${CMAKE_DL_LIBS})
