// A few lines of text over the picture for a while, such as what keeps the
// camera from the screen: a fullscreen window shows no title, and standard
// error goes nowhere when the menu starts the preview. The text scales with
// the window's height, so it reads the same on every screen.
#pragma once

#include <cstdint>
#include <string>

typedef struct _TTF_Font TTF_Font;

struct OverlayText {
    TTF_Font* font = nullptr;     // null: nothing is drawn
    int fontPixels = 0;
    unsigned program = 0;
    unsigned vertexArray = 0;
    unsigned texture = 0;         // the text as it was last rendered
    int textureWidth = 0;
    int textureHeight = 0;
    std::string text;             // what shows; "" for nothing
    std::string rendered;         // what the texture holds, at `renderedWidth` and `fontPixels`
    int renderedWidth = 0;
    uint32_t until = 0;           // the tick at which the text goes
};

// With the GL context current: finds a sans-serif font through fontconfig
// and builds the program. False, said on standard error, when either fails;
// the text is then only on standard error.
bool openOverlayText(OverlayText& overlay);

// `text` (lines split by '\n') from tick `now` for a few seconds, in place of
// what showed.
void showOverlayText(OverlayText& overlay, const std::string& text, uint32_t now);

// Over the frame drawn so far, at the top of a `width` x `height` window;
// the text is rendered again only when it or the window's size changed.
void drawOverlayText(OverlayText& overlay, int width, int height, uint32_t now);

void closeOverlayText(OverlayText& overlay);
