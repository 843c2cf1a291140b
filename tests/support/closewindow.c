// closewindow TITLE [SECONDS]: waits up to SECONDS (default 10) for a window
// called TITLE on $DISPLAY and asks it to close the way a window manager
// does, with a WM_DELETE_WINDOW client message. Exit status 1 if no such
// window appeared.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static Window findWindow(Display* display, Window parent, const char* title)
{
    char* name = NULL;
    if (XFetchName(display, parent, &name) && name) {
        int found = strcmp(name, title) == 0;
        XFree(name);
        if (found)
            return parent;
    }
    Window root, up, *children = NULL;
    unsigned count = 0;
    Window result = 0;
    if (XQueryTree(display, parent, &root, &up, &children, &count)) {
        for (unsigned i = 0; i < count && !result; ++i)
            result = findWindow(display, children[i], title);
        XFree(children);
    }
    return result;
}

static void sendDeleteRequest(Display* display, Window window)
{
    XEvent event;
    memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = (long)XInternAtom(display, "WM_DELETE_WINDOW", False);
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: closewindow TITLE [SECONDS]\n");
        return 2;
    }
    double seconds = argc > 2 ? atof(argv[2]) : 10.0;
    Display* display = XOpenDisplay(NULL);
    if (!display) {
        fprintf(stderr, "closewindow: cannot open display\n");
        return 1;
    }
    const struct timespec pause = {0, 20 * 1000 * 1000};
    for (double waited = 0; waited < seconds; waited += 0.02) {
        Window window = findWindow(display, DefaultRootWindow(display), argv[1]);
        if (window) {
            sendDeleteRequest(display, window);
            XCloseDisplay(display);
            return 0;
        }
        nanosleep(&pause, NULL);
    }
    fprintf(stderr, "closewindow: no window \"%s\"\n", argv[1]);
    XCloseDisplay(display);
    return 1;
}
