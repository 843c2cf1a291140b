// A Weston module that gives the compositor a seat with a pointer and a
// keyboard. Weston's headless backend has no input devices, so it makes no
// seat, and SDL's Wayland driver does not start without one.
//
//   weston --backend=headless-backend.so --modules=/path/to/weston-seat.so
#include <libweston/libweston.h>

#include <stdlib.h>

// libweston's own, exported but left out of its public header.
void weston_seat_init(struct weston_seat* seat, struct weston_compositor* compositor, const char* name);
int weston_seat_init_pointer(struct weston_seat* seat);
int weston_seat_init_keyboard(struct weston_seat* seat, struct xkb_keymap* keymap);

WL_EXPORT int wet_module_init(struct weston_compositor* compositor, int* argc, char* argv[])
{
    (void)argc, (void)argv;
    // The compositor keeps the seat until it ends.
    struct weston_seat* seat = calloc(1, sizeof *seat);
    if (!seat)
        return -1;
    weston_seat_init(seat, compositor, "seat0");
    // The compositor's own keymap.
    if (weston_seat_init_pointer(seat) < 0 || weston_seat_init_keyboard(seat, NULL) < 0)
        return -1;
    return 0;
}
