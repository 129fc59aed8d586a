// Start-up failures where a desktop user looks. Started from a menu, the program has no
// terminal, and the one line it writes to standard error goes where no one reads it; the line
// then also appears in the program's own window, drawn with a small built-in font, so nothing
// beyond SDL is needed and nothing can wait for a desktop that is not there.
#include "app/quiltcam.h"

#include "resources/message_font.h"

#include <unistd.h>

#include <cstring>

static const Uint32 shownMilliseconds = 30000;

static void drawCharacter(SDL_Surface* surface, char c, int x, int y, Uint32 colour) {
    if (c < 32 || c > 126) c = '?';
    const uint16_t* rows = messageFont[c - 32];
    for (int row = 0; row < messageFontHeight; row++)
        for (int column = 0; column < messageFontWidth; column++)
            if (rows[row] >> (messageFontWidth - 1 - column) & 1) {
                SDL_Rect dot = {(Sint16)(x + column), (Sint16)(y + row), 1, 1};
                SDL_FillRect(surface, &dot, colour);
            }
}

// Draws text from (x, y), broken between words to fit the surface; returns the y below it.
static int drawText(SDL_Surface* surface, const char* text, int x, int y, Uint32 colour) {
    const int perLine = (surface->w - 2 * x) / messageFontWidth;
    while (*text) {
        int length = (int)std::strlen(text);
        if (length > perLine) {
            length = perLine;
            while (length > 0 && text[length] != ' ') length--;
            if (length == 0) length = perLine;  // one long word: break it anywhere
        }
        for (int i = 0; i < length; i++) drawCharacter(surface, text[i], x + i * messageFontWidth, y, colour);
        text += length;
        while (*text == ' ') text++;
        y += messageFontHeight + 4;
    }
    return y;
}

void showFailureInWindow(const char* message) {
    if (isatty(STDERR_FILENO) || !SDL_WasInit(SDL_INIT_VIDEO)) return;
    char driver[32] = "";
    if (!SDL_VideoDriverName(driver, sizeof driver) || !std::strcmp(driver, "dummy")) return;
    // The mosaic's display, or, where that mode was refused, a plain window.
    SDL_Surface* surface = screen ? screen : SDL_SetVideoMode(640, 160, 0, SDL_SWSURFACE);
    if (!surface) return;
    SDL_WM_SetCaption("Quiltcam", "");
    SDL_ShowCursor(SDL_ENABLE);
    SDL_FillRect(surface, nullptr, SDL_MapRGB(surface->format, 0, 0, 0));
    const int top = surface->h > 200 ? surface->h / 2 - 60 : 30;
    const int below = drawText(surface, message, 20, top, SDL_MapRGB(surface->format, 255, 255, 255));
    drawText(surface, "Press any key to close.", 20, below + 16, SDL_MapRGB(surface->format, 160, 160, 160));
    SDL_UpdateRect(surface, 0, 0, 0, 0);

    const Uint32 shown = SDL_GetTicks();
    while (SDL_GetTicks() - shown < shownMilliseconds) {
        SDL_Event event;
        while (SDL_PollEvent(&event))
            if (event.type == SDL_KEYDOWN || event.type == SDL_MOUSEBUTTONDOWN || event.type == SDL_QUIT) return;
        SDL_Delay(20);
    }
}
