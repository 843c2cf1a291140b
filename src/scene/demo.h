#pragma once

#include "camera-feed.h"

#include <cstdint>
#include <glm/vec2.hpp>
#include <string>
#include <vector>

// What the scene needs from the shell.
uint32_t timer();
// Seconds by which the place in the track heard now runs behind timer()'s
// clock; the pictures show that place.
float audioLatency();
glm::ivec2 mousepos();
void shutdown();
// The whole text of a file in a malloc'ed block that the scene frees; a
// preview's may be null when the file cannot be read, the others end the
// process then.
const char* loadtxt(const char* fileName);

// What the shell calls in the scene, with the music's output open and the
// scene's GL context current.
void init();
void resize(int w, int h);
void render();

// What a live preview calls instead of init: the same set-up without the
// programs and the banner, which it builds with the two calls below at start
// and again whenever their files change. Until the programs first build the
// picture is black; a rebuild or reload that fails keeps what there was. Each
// returns what failed, or "" when all is well: the compiler's or linker's log,
// each line led by the files it is about, or the banner's message.
void initForEditing();
std::string rebuildPrograms();
std::string reloadScroller();

// What a live preview calls to show a camera in place of the scene. The
// camera is taken and let go off the frame's thread: openCamera returns at
// once, and the scene shows the camera once it delivers (showsCamera). A
// stream that fails while the device stays is taken again after a pause;
// one that goes away is let go. cameraNews says what became of it.
void openCamera(const std::string& device);
void closeCamera();
bool showsCamera();
// A camera is being taken, shown, or taken again after its stream failed.
bool takesCamera();
std::vector<CameraNews> cameraNews();
