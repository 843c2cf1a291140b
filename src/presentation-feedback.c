#include "presentation-feedback.h"

#include "presentation-time-client-protocol.h"

#include <SDL2/SDL.h>
#include <SDL2/SDL_syswm.h>
#include <poll.h>
#include <string.h>
#include <time.h>
#include <wayland-client.h>

// The answers come on a queue of their own, so that SDL, which dispatches
// the display's default queue, never runs them and they never run its events.
static struct wl_display* display;
static struct wl_surface* surface;
static struct wl_event_queue* queue;
static struct wp_presentation* presentation;
static clockid_t presentationClock = CLOCK_MONOTONIC;
static void (*onPresented)(void*, int64_t);

static int64_t clockNs(clockid_t clock)
{
    struct timespec now;
    clock_gettime(clock, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

static void presented(void* frame, struct wp_presentation_feedback* feedback, uint32_t secondsHigh,
                      uint32_t secondsLow, uint32_t nanoseconds, uint32_t refresh, uint32_t sequenceHigh,
                      uint32_t sequenceLow, uint32_t flags)
{
    (void)refresh, (void)sequenceHigh, (void)sequenceLow, (void)flags;
    const int64_t ns = (int64_t)(((uint64_t)secondsHigh << 32) | secondsLow) * 1000000000 + nanoseconds;
    onPresented(frame, ns + clockNs(CLOCK_MONOTONIC) - clockNs(presentationClock));
    wp_presentation_feedback_destroy(feedback);
}

static void discarded(void* frame, struct wp_presentation_feedback* feedback)
{
    onPresented(frame, 0);
    wp_presentation_feedback_destroy(feedback);
}

static void syncOutput(void* frame, struct wp_presentation_feedback* feedback, struct wl_output* output)
{
    (void)frame, (void)feedback, (void)output;
}

static const struct wp_presentation_feedback_listener feedbackEvents = {syncOutput, presented, discarded};

static void clockNamed(void* data, struct wp_presentation* p, uint32_t clock)
{
    (void)data, (void)p;
    presentationClock = (clockid_t)clock;
}

static const struct wp_presentation_listener presentationEvents = {clockNamed};

static void globalAdded(void* data, struct wl_registry* registry, uint32_t name, const char* interface,
                        uint32_t version)
{
    (void)data, (void)version;
    if (strcmp(interface, wp_presentation_interface.name) == 0) {
        presentation = wl_registry_bind(registry, name, &wp_presentation_interface, 1);
        wp_presentation_add_listener(presentation, &presentationEvents, NULL);
    }
}

static void globalRemoved(void* data, struct wl_registry* registry, uint32_t name)
{
    (void)data, (void)registry, (void)name;
}

static const struct wl_registry_listener registryEvents = {globalAdded, globalRemoved};

int watchPresented(struct SDL_Window* window)
{
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (!SDL_GetWindowWMInfo(window, &info) || info.subsystem != SDL_SYSWM_WAYLAND)
        return 0;
    display = info.info.wl.display;
    surface = info.info.wl.surface;
    queue = wl_display_create_queue(display);
    struct wl_display* onQueue = wl_proxy_create_wrapper(display);
    wl_proxy_set_queue((struct wl_proxy*)onQueue, queue);
    struct wl_registry* registry = wl_display_get_registry(onQueue);
    wl_proxy_wrapper_destroy(onQueue);
    wl_registry_add_listener(registry, &registryEvents, NULL);
    wl_display_roundtrip_queue(display, queue);
    if (presentation)
        wl_display_roundtrip_queue(display, queue);
    wl_registry_destroy(registry);
    return presentation != NULL;
}

void askPresented(void* frame)
{
    wp_presentation_feedback_add_listener(wp_presentation_feedback(presentation, surface), &feedbackEvents,
                                          frame);
}

void readPresented(void (*presentedFrame)(void*, int64_t))
{
    onPresented = presentedFrame;
    // A connection that has failed has nothing more to read, and the shell
    // ends on it.
    while (wl_display_prepare_read_queue(display, queue) != 0)
        if (wl_display_dispatch_queue_pending(display, queue) < 0)
            return;
    wl_display_flush(display);
    struct pollfd connection = {wl_display_get_fd(display), POLLIN, 0};
    if (poll(&connection, 1, 0) > 0)
        wl_display_read_events(display);
    else
        wl_display_cancel_read(display);
    wl_display_dispatch_queue_pending(display, queue);
}
