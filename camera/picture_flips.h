// The geometry settings applied last to a picture (3 bytes per pixel).
#pragma once

#include <windows.h>

// The delivered bitmap is bottom-up, so the top-first picture must be turned
// over to show upright: with VFlip 0 the rows are reversed, with VFlip set
// they are left alone and the picture shows upside down.
void FlipRows(BYTE* picture, int w, int h, DWORD VFlip);

// With HFlip set, reverses the pixels of every row; each pixel keeps its
// blue, green, red byte order.
void MirrorRows(BYTE* picture, int w, int h, DWORD HFlip);
