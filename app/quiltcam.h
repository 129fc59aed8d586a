// The application module: the display, the frame loop with its frame meter, and the mosaic.
// Its state is module-level, set up once by startUp().
#pragma once

#include <SDL.h>

#include <cstdint>

#include "camera/CameraGrid.h"

extern const char* const programName;

extern SDL_Surface* screen;
extern CameraGrid* grid;
extern RgbTriple** cellColourTable;
extern int32_t* cellLumaTable;
extern int32_t gridWidth, gridHeight;
extern int32_t tileWidth, tileHeight;
extern int32_t tilePixels;
extern int32_t* lumaTile;
extern int32_t originX, originY;
extern Uint32 rMask, gMask, bMask, aMask;
extern SDL_Surface* tile;
extern SDL_Rect tileSrcRect;
extern SDL_Rect tileDstRect;
extern int32_t frameCount;
extern Uint32 lastTick;
extern Uint32 now;
extern Uint32 elapsed;

// Start-up: SDL, the display, the camera grid and the drawing state. Exits with status 1 and
// one line on standard error when the display or the camera cannot be had.
void startUp();
// Shows a start-up failure's line in the program's own window when the program has no
// terminal (started from a desktop menu), until a key, a click, the window's close or half a
// minute; with a terminal, or no display to show it on (or SDL's dummy driver), does nothing.
void showFailureInWindow(const char* message);
// The line that tells the user why the camera could not be started.
void describeCaptureFailure(const CameraGrid& camera, char* text, size_t size);
// Ends the process: the camera stopped first (its threads ended, its stream stopped), so that
// nothing of it runs on while the process's static objects go.
void endProgram(int status);
// One pass of the frame loop: takes at most one event; a key press or a quit request ends the
// process with status 0, anything else (or nothing) renders a frame.
void framePass();
void tickFrameMeter();
// Whether the meter's second is up: more than 1000 ms since the last tick, in wrapping
// 32-bit milliseconds.
bool meterSecondElapsed(Uint32 now, Uint32 lastTick);
void drawMosaic(SDL_Surface* screen);
void shadeTile(Uint32* pixels, int r, int g, int b);
