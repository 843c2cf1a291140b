// A few lines of text over the picture for a while, such as what keeps the
// camera from the screen, and a short line in a corner while it lasts: a fullscreen window shows no title, and standard
// error goes nowhere when the menu starts the preview. The text scales with
// the window's height, so it reads the same on every screen.
#pragma once

#include <cstdint>
#include <string>

typedef struct _TTF_Font TTF_Font;

// One piece of text and the texture it was last rendered into.
struct OverlayBox {
    std::string text;             // what shows; "" for nothing
    unsigned texture = 0;
    int textureWidth = 0;
    int textureHeight = 0;
    std::string rendered;         // what the texture holds, at `renderedWidth` and the font's size
    int renderedWidth = 0;
};

struct OverlayText {
    TTF_Font* font = nullptr;     // null: nothing is drawn
    int fontPixels = 0;
    unsigned program = 0;
    unsigned vertexArray = 0;
    OverlayBox notice;            // at the top, for a few seconds
    bool noticeCounts = false;    // a frame has shown the notice, so its seconds run
    uint32_t noticeUntil = 0;     // the tick at which it goes, once they run
    OverlayBox corner;            // at the bottom right, for as long as it is set
};

// With the GL context current: finds a sans-serif font through fontconfig
// and builds the program. False, said on standard error, when either fails;
// the text is then only on standard error.
bool openOverlayText(OverlayText& overlay);

// `text` (lines split by '\n') at the top in place of what showed, for a few
// seconds from the first frame that shows it: a slow first frame or a busy
// machine does not eat them.
void showOverlayText(OverlayText& overlay, const std::string& text);

// A short line in a corner while what it says lasts; "" for none.
void setCornerText(OverlayText& overlay, const std::string& text);

// Over the frame drawn so far, in a `width` x `height` window; the text is
// rendered again only when it or the window's size changed.
void drawOverlayText(OverlayText& overlay, int width, int height, uint32_t now);

void closeOverlayText(OverlayText& overlay);
