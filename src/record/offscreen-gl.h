// An OpenGL 3.3 core context with no window and no display server: an EGL
// pbuffer is the default framebuffer the scene draws its picture to.
#pragma once

// Makes the context current and loads the GL entry points; ends the process
// with a message when EGL or the GL cannot give one.
void openOffscreenGL(int width, int height);
