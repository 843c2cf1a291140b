// An OpenGL 3.3 core context with no window and no display server: an EGL
// pbuffer is the default framebuffer the scene draws its picture to.
#pragma once

// Makes the context current and loads the GL entry points; ends the process
// with a message when EGL or the GL cannot give one.
void openOffscreenGL(int width, int height);

// Destroys the context and ends the driver's screen, its threads with it: the
// recorder calls it before it returns from main, and a fatal report before
// exit() (releaseBeforeExit).
void closeOffscreenGL();
