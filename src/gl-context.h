// The context the desktop shells draw the scene with, in an SDL window.
#pragma once

struct SDL_Window;

// requestSceneContext asks SDL, before the window is made, for the context
// the scene draws with: OpenGL 3.3 core, forward compatible, with debug
// output; createSceneContext makes that context current in `window`, false,
// with SDL's error set, when it cannot. closeSceneVideo deletes it and quits
// SDL: a shell calls it before it returns from main, and a fatal report
// before exit() (releaseBeforeExit).
void requestSceneContext();
bool createSceneContext(SDL_Window* window);
void closeSceneVideo();
