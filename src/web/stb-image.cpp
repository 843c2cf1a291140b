// The image decoder, which the desktop takes from Debian's libstb, built
// into the page from the same header.
#define STB_IMAGE_IMPLEMENTATION
#include <stb_image.h>
