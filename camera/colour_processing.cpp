#include "camera/colour_processing.h"

#include <algorithm>
#include <cmath>

namespace {

// 4 x 4 matrices in units of 1/128: row i holds what input channel i (0 red,
// 1 green, 2 blue, 3 constant) gives to output channel j (same numbering).
using Matrix = int[4][4];

// The sensor's colour correction. Each column sums to about 128 so that grey
// stays grey.
constexpr Matrix ColourCorrection = {
    {205, -63, -34, 0},
    {-65, 222, -125, 0},
    {-12, -32, 286, 0},
    {0, 0, 0, 0},
};

// Mixes each channel with a weighted grey; the weights 315, 624 and 84 (of
// 1024) follow the eye's sensitivity to red, green and blue.
void BuildSaturationMatrix(Matrix& matrix, int s) {
    // Arithmetic right shifts floor, which matters when s exceeds 128.
    const int wR = (315 * (128 - s)) >> 10;
    const int wG = (624 * (128 - s)) >> 10;
    const int wB = (84 * (128 - s)) >> 10;
    const int rows[4][4] = {
        {wR + s, wR, wR, 0},
        {wG, wG + s, wG, 0},
        {wB, wB, wB + s, 0},
        {0, 0, 0, 1},
    };
    std::copy(&rows[0][0], &rows[0][0] + 16, &matrix[0][0]);
}

BYTE Clamp(int value) {
    return static_cast<BYTE>(std::clamp(value, 0, 255));
}

}  // namespace

void BuildToneTable(CToneTable& table, BYTE Gamma, BYTE Contrast) {
    const int contrast = Contrast;
    for (int v = 0; v < 256; ++v) {
        // The store rounds to double: a 32-bit x87 build would otherwise keep
        // extended precision and could truncate a level to the one below.
        volatile double curve = 255.0 * std::pow(v / 255.0, Gamma / 100.0);
        const double rounded = curve;
        const int g = std::clamp(static_cast<int>(rounded), 0, 255);
        int t;
        if (g >= 128)
            t = std::min(255, g + (contrast * (g - 128)) / 128);
        else
            t = std::max(0, g - (contrast * (128 - g)) / 128);
        table.level[v] = static_cast<BYTE>(t);
    }
}

void ApplyToneTable(BYTE* picture, int w, int h, const CToneTable& table) {
    if (w <= 0 || h <= 0)
        return;
    const size_t size = static_cast<size_t>(w) * h * 3;
    for (size_t k = 0; k < size; ++k)
        picture[k] = table.level[picture[k]];
}

void BuildGainTables(CGainTables& tables, BYTE r, BYTE g, BYTE b) {
    for (int v = 0; v < 256; ++v) {
        tables.red[v] = static_cast<BYTE>(std::min(255, (v * r) >> 6));
        tables.green[v] = static_cast<BYTE>(std::min(255, (v * g) >> 6));
        tables.blue[v] = static_cast<BYTE>(std::min(255, (v * b) >> 6));
    }
}

void ApplyGainTables(BYTE* picture, int w, int h, const CGainTables& tables) {
    if (w <= 0 || h <= 0)
        return;
    const size_t pixels = static_cast<size_t>(w) * h;
    for (size_t k = 0; k < pixels; ++k) {
        BYTE* pixel = picture + k * 3;
        pixel[0] = tables.blue[pixel[0]];
        pixel[1] = tables.green[pixel[1]];
        pixel[2] = tables.red[pixel[2]];
    }
}

void ApplyGrey(BYTE* picture, int w, int h) {
    if (w <= 0 || h <= 0)
        return;
    const size_t pixels = static_cast<size_t>(w) * h;
    for (size_t k = 0; k < pixels; ++k) {
        BYTE* pixel = picture + k * 3;
        const BYTE y = static_cast<BYTE>((30 * pixel[2] + 59 * pixel[1] + 11 * pixel[0]) / 100);
        pixel[0] = y;
        pixel[1] = y;
        pixel[2] = y;
    }
}

void BuildColourMatrix(int matrix[4][4], BYTE Saturation) {
    Matrix saturation;
    BuildSaturationMatrix(saturation, Saturation);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            matrix[i][j] = 0;
            for (int k = 0; k < 4; ++k)
                matrix[i][j] += ColourCorrection[i][k] * saturation[k][j];
        }
    }
}

void ColourMatrixFactors(BYTE Saturation, int correction[3][3], int mix[3]) {
    Matrix saturation;
    BuildSaturationMatrix(saturation, Saturation);
    for (int i = 0; i < 3; ++i) {
        mix[i] = 0;
        for (int k = 0; k < 3; ++k) {
            correction[i][k] = ColourCorrection[i][k];
            // Off the diagonal the saturation matrix holds only the grey weight.
            mix[i] += ColourCorrection[i][k] * saturation[k][(k + 1) % 3];
        }
    }
}

void ApplyColourMatrix(BYTE* picture, int w, int h, const CGainTables& tables, BYTE Saturation) {
    if (w <= 0 || h <= 0)
        return;
    // The product is in units of 1/16384, hence the shift by 14 below.
    Matrix p;
    BuildColourMatrix(p, Saturation);

    const size_t pixels = static_cast<size_t>(w) * h;
    for (size_t k = 0; k < pixels; ++k) {
        BYTE* pixel = picture + k * 3;
        const int R = tables.red[pixel[2]];
        const int G = tables.green[pixel[1]];
        const int B = tables.blue[pixel[0]];
        pixel[2] = Clamp((R * p[0][0] + G * p[1][0] + B * p[2][0] + p[3][0]) >> 14);
        pixel[1] = Clamp((R * p[0][1] + G * p[1][1] + B * p[2][1] + p[3][1]) >> 14);
        pixel[0] = Clamp((R * p[0][2] + G * p[1][2] + B * p[2][2] + p[3][2]) >> 14);
    }
}
