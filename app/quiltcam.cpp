// Start-up, the frame loop, the frame meter and the mosaic renderer.
#include "app/quiltcam.h"

#include "app/tile_shading.h"
#include "resources/quiltcam_icon.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

// The windowed and the full-screen program differ only here.
#ifdef QUILTCAM_FULLSCREEN
const char* const programName = "quiltcam-fullscreen";
static const Uint32 videoFlags = SDL_HWSURFACE | SDL_FULLSCREEN;
static const bool meterRetitlesWindow = false;
#else
const char* const programName = "quiltcam";
static const Uint32 videoFlags = SDL_HWSURFACE;
static const bool meterRetitlesWindow = true;
#endif

static const char* const windowTitle = "Quiltcam";

SDL_Surface* screen;
CameraGrid* grid;
RgbTriple** cellColourTable;
int32_t* cellLumaTable;
int32_t gridWidth, gridHeight;
int32_t tileWidth, tileHeight;
int32_t tilePixels;
int32_t* lumaTile;
int32_t originX, originY;
Uint32 rMask, gMask, bMask, aMask;
SDL_Surface* tile;
SDL_Rect tileSrcRect;
SDL_Rect tileDstRect;
int32_t frameCount;
Uint32 lastTick;
Uint32 now;
Uint32 elapsed;

// A start-up failure: one line on standard error, and where a desktop user looks: a message
// box on Windows (where standard error is a file), the program's own window elsewhere when it
// has no terminal. The display goes first on Windows: a full-screen window would hide the box.
static void failWith(const char* message) {
    std::fprintf(stderr, "%s\n", message);
#ifdef _WIN32
    SDL_Quit();
    MessageBoxA(nullptr, message, windowTitle, MB_OK | MB_ICONERROR | MB_SETFOREGROUND | MB_TOPMOST);
#else
    showFailureInWindow(message);
#endif
    std::exit(1);
}

static void failWithSdlError(const char* what) {
    char message[512];
    std::snprintf(message, sizeof message, "%s: %s: %s", programName, what, SDL_GetError());
    failWith(message);
}

// Why the camera could not be started, in one line for the user.
void describeCaptureFailure(const CameraGrid& camera, char* text, size_t size) {
    std::snprintf(text, size, "%s: %s", programName, camera.captureFailure());
}

static void failWithCaptureError(const CameraGrid& camera) {
    char message[512];
    describeCaptureFailure(camera, message, sizeof message);
    failWith(message);
}

#ifndef _WIN32
// The window's icon, kept for the program's life; on Windows it comes from the resources.
static SDL_Surface* windowIcon;

static void setWindowIcon() {
    windowIcon = SDL_CreateRGBSurfaceFrom(const_cast<unsigned char*>(quiltcamIcon), 32, 32, 24, 32 * 3, 0x0000FF,
                                          0x00FF00, 0xFF0000, 0);
    if (windowIcon) SDL_WM_SetIcon(windowIcon, nullptr);
}
#endif

void startUp() {
    if (SDL_Init(SDL_INIT_VIDEO) < 0) failWithSdlError("cannot initialise SDL video");
    std::atexit(SDL_Quit);
#ifndef _WIN32
    setWindowIcon();
#endif
    screen = SDL_SetVideoMode(640, 480, 32, videoFlags);
    if (!screen) failWithSdlError("cannot set the 640x480x32 video mode");
    // The border around the mosaic is never drawn. Classic SDL hands over a black display;
    // sdl12-compat leaves its pixels as they were allocated, so clear them once here.
    SDL_FillRect(screen, nullptr, 0);
    SDL_WM_SetCaption(windowTitle, "");

    gridWidth = 26;
    gridHeight = 20;
    grid = new CameraGrid(160, 120, gridWidth, gridHeight);
    if (!grid->capturing()) failWithCaptureError(*grid);
    cellColourTable = grid->cellColours();
    cellLumaTable = grid->cellLuma();

    tileWidth = 20;
    tileHeight = 20;
    tilePixels = tileWidth * tileHeight;
    lumaTile = new int32_t[tilePixels]();

    // The 520 x 400 mosaic sits in the middle of the display.
    originX = (640 - tileWidth * gridWidth) / 2;
    originY = (480 - tileHeight * gridHeight) / 2;

    rMask = screen->format->Rmask;
    gMask = screen->format->Gmask;
    bMask = screen->format->Bmask;
    aMask = screen->format->Amask;

    tileSrcRect.x = 0;
    tileSrcRect.y = 0;
    tileSrcRect.w = (Uint16)tileWidth;
    tileSrcRect.h = (Uint16)tileHeight;

    // The display's own masks, so that blitting the tile is a plain copy.
    tile = SDL_CreateRGBSurface(SDL_SWSURFACE, tileWidth, tileHeight, 32, rMask, gMask, bMask, aMask);
    if (!tile) failWithSdlError("cannot create the tile surface");

    lastTick = SDL_GetTicks();
}

void endProgram(int status) {
    if (grid) grid->stopCamera();
    std::exit(status);
}

void framePass() {
    SDL_Event event;
    if (SDL_PollEvent(&event) && (event.type == SDL_KEYDOWN || event.type == SDL_QUIT)) endProgram(0);
    grid->update();
    drawMosaic(screen);
    tickFrameMeter();
}

bool meterSecondElapsed(Uint32 now, Uint32 lastTick) { return now - lastTick > 1000; }

void tickFrameMeter() {
    frameCount += 1;
    now = SDL_GetTicks();
    elapsed = now - lastTick;
    if (meterSecondElapsed(now, lastTick)) {
        if (meterRetitlesWindow) SDL_WM_SetCaption(windowTitle, nullptr);
        lastTick = now;
        frameCount = 0;
    }
}

// The grey picture as 16-bit values for the span shader, and the shader this processor runs.
static uint16_t lumaTile16[400];
static SpanShader shadeSpan = fastestSpanShader();

// Whether blitting the tile onto this surface is a plain copy that nothing clips: then the
// tiles can be shaded straight into its pixels, with the same result.
static bool takesTilesDirectly(SDL_Surface* target) {
    const SDL_PixelFormat* format = target->format;
    const SDL_Rect& clip = target->clip_rect;
    return format->BitsPerPixel == 32 && format->Rmask == rMask && format->Gmask == gMask &&
           format->Bmask == bMask && format->Amask == 0 && aMask == 0 && !(tile->flags & SDL_SRCCOLORKEY) &&
           clip.x <= originX && clip.y <= originY && clip.x + clip.w >= originX + tileWidth * gridWidth &&
           clip.y + clip.h >= originY + tileHeight * gridHeight;
}

void drawMosaic(SDL_Surface* screen) {
    // The grey picture: the middle 20 of the 26 cell columns, every cell row.
    int32_t* grey = lumaTile;
    for (int j = 0; j < gridHeight; j++)
        for (int k = 3; k < gridWidth - 3; k++) *grey++ = cellLumaTable[j * gridWidth + k];
    for (int i = 0; i < tilePixels; i++) lumaTile16[i] = (uint16_t)lumaTile[i];

    tileDstRect.x = (Sint16)originX;
    tileDstRect.y = (Sint16)originY;
    tileDstRect.w = (Uint16)tileWidth;
    tileDstRect.h = (Uint16)tileHeight;
    Uint32* tilePixelWords = static_cast<Uint32*>(tile->pixels);
    const bool direct = takesTilesDirectly(screen) && SDL_LockSurface(screen) == 0;
    for (int r = 0; r < 20; r++) {
        for (int c = 0; c < 26; c++) {
            const RgbTriple* colour = cellColourTable[r * gridWidth + c];
            shadeSpan(tilePixelWords, lumaTile16, tilePixels, colour->r, colour->g, colour->b);
            if (direct) {  // the plain copy the blit would make
                Uint8* corner = static_cast<Uint8*>(screen->pixels) + tileDstRect.y * screen->pitch + tileDstRect.x * 4;
                for (int ty = 0; ty < tileHeight; ty++)
                    std::memcpy(corner + ty * screen->pitch, tilePixelWords + ty * tileWidth, tileWidth * 4);
            } else {
                SDL_UpperBlit(tile, &tileSrcRect, screen, &tileDstRect);
            }
            tileDstRect.x = (Sint16)(tileDstRect.x + tileWidth);
        }
        tileDstRect.x = (Sint16)originX;
        tileDstRect.y = (Sint16)(tileDstRect.y + tileHeight);
    }
    if (direct) SDL_UnlockSurface(screen);
    SDL_UpdateRect(screen, 0, 0, 0, 0);
}

void shadeTile(Uint32* pixels, int r, int g, int b) {
    for (int i = 0; i < tilePixels; i++) lumaTile16[i] = (uint16_t)lumaTile[i];
    shadeSpan(pixels, lumaTile16, tilePixels, r, g, b);
}
