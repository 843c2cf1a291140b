#include "gl-context.h"
#include "common.h"

#include <SDL2/SDL.h>

void requestSceneContext()
{
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MAJOR_VERSION, 3);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_MINOR_VERSION, 3);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_CORE);
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_FLAGS,
                        SDL_GL_CONTEXT_DEBUG_FLAG | SDL_GL_CONTEXT_FORWARD_COMPATIBLE_FLAG);
}

static SDL_GLContext sceneContext = nullptr;

bool createSceneContext(SDL_Window* window)
{
    sceneContext = SDL_GL_CreateContext(window);
    if (!sceneContext)
        return false;
    releaseBeforeExit(closeSceneVideo);
    return true;
}

// Deleting the context waits for the driver's threads that work for it, and
// SDL_Quit, closing the display, ends the driver's screen with the rest.
void closeSceneVideo()
{
    SDL_GL_DeleteContext(sceneContext);
    SDL_Quit();
}
