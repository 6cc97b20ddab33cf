// The colour stages of a picture (3 bytes per pixel: blue, green, red): white
// balance, colour correction with saturation or grey output, and the tone curve.
// Every per-pixel step is integer and table-driven; floating point is used only
// when the tone table is rebuilt, which happens when a setting changes.
#pragma once

#include <windows.h>

// Gamma and contrast as one curve, applied to every byte of the picture.
struct CToneTable {
    BYTE level[256];
};

// White-balance gains as three 256-entry tables, so a frame costs one look-up
// per byte instead of a multiply and a clamp.
struct CGainTables {
    BYTE red[256];
    BYTE green[256];
    BYTE blue[256];
};

// Gamma is gamma x 100 (100 = straight line), Contrast 0 to 100 pushes levels
// away from the middle of the range.
void BuildToneTable(CToneTable& table, BYTE Gamma, BYTE Contrast);
void ApplyToneTable(BYTE* picture, int w, int h, const CToneTable& table);

// r, g, b are the gains in 1/64 steps (64 = x 1.0); a level never exceeds 255.
void BuildGainTables(CGainTables& tables, BYTE r, BYTE g, BYTE b);
void ApplyGainTables(BYTE* picture, int w, int h, const CGainTables& tables);

// Replaces every pixel by its luma on all three bytes. The white-balance gains
// deliberately play no part: grey output ignores them.
void ApplyGrey(BYTE* picture, int w, int h);

// Colour enhancement: white balance through the gain tables, then the fixed
// colour-correction matrix combined with a saturation matrix for Saturation
// (128 = unchanged, 0 = grey). The combined matrix lives for one call only.
void ApplyColourMatrix(BYTE* picture, int w, int h, const CGainTables& tables, BYTE Saturation);

// The matrix ApplyColourMatrix uses, in units of 1/16384: matrix[i][j] is
// what input channel i (0 red, 1 green, 2 blue, 3 constant) gives to output
// channel j (same numbering).
void BuildColourMatrix(int matrix[4][4], BYTE Saturation);

// The same matrix in factors: for i, j below 3, matrix[i][j] is
// mix[i] + Saturation * correction[i][j] (correction is the fixed colour
// correction, mix its rows weighted by the saturation matrix's grey part),
// and the constant row is 0. All factors fit in 16 bits.
void ColourMatrixFactors(BYTE Saturation, int correction[3][3], int mix[3]);
