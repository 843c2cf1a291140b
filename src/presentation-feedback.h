// When a Wayland compositor presented each frame that a window swaps, as
// the compositor reports it (wp_presentation), on CLOCK_MONOTONIC. In C, for
// the tests' preloaded frame hook too.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct SDL_Window;

// Nonzero where `window` is on Wayland and its compositor reports
// presentation times.
int watchPresented(struct SDL_Window* window);
// Before the swap: `frame` comes back to `presented` with the time its
// commit was presented, or 0 when it was never shown.
void askPresented(void* frame);
// After the swap: runs `presented` for the answers that have come.
void readPresented(void (*presented)(void* frame, int64_t ns));

#ifdef __cplusplus
}
#endif
