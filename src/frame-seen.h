// When a frame reaches the screen, and the place in the track heard then.
// A frame is seen later than it reads its clock: its rendering, its swap and
// a compositor's repaint come between, 12 to 22 ms on Xvfb at 1080p and over
// 100 ms on a loaded Weston. The desktop shells draw the place that is heard
// when the frame is seen, and learn that delay from the frames before.
#pragma once

struct SDL_Window;

// With the window's context current. Where the window is on Wayland and the
// compositor reports presentation times (wp_presentation), a frame is seen
// when the compositor says it was presented; elsewhere when its swap has
// completed.
void watchFramesSeen(SDL_Window* window);

// The frame about to be drawn reads its clock now.
void beginFrame();

// Seconds from a frame's clock read to its being seen, as the last frames
// took; 0 until one has been seen.
double frameSeenDelay();

// The place in the track heard when the frame begun now is seen: while the
// track plays, the place heard now run on by the delay, never past the end;
// a paused track shows where it stands, and a track that nobody hears the
// place that its output counts.
double trackSecondsSeen();

// Swaps the window's buffers and waits until the swap has completed, so that
// no frame queues up ahead of the screen and the delay of the next holds.
void swapFrame(SDL_Window* window);
