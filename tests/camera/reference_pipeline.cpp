#include "reference_pipeline.h"

#include <algorithm>

namespace reference {

namespace {

// Byte c (0 blue, 1 green, 2 red) of pixel (i, j).
uint8_t &At(Bytes &picture, int w, int i, int j, int c) { return picture[(static_cast<size_t>(i) * w + j) * 3 + c]; }

void Set(Bytes &picture, int w, int i, int j, int blue, int green, int red) {
    At(picture, w, i, j, 0) = static_cast<uint8_t>(blue);
    At(picture, w, i, j, 1) = static_cast<uint8_t>(green);
    At(picture, w, i, j, 2) = static_cast<uint8_t>(red);
}

int Clamp(int value) { return std::clamp(value, 0, 255); }

void Smooth(Bytes &picture, int w, int h) {
    const Bytes copy = picture;
    auto in = [&](int i, int j, int c) { return static_cast<int>(copy[(static_cast<size_t>(i) * w + j) * 3 + c]); };
    for (int i = 1; i <= h - 2; ++i)
        for (int j = 1; j <= w - 2; ++j)
            for (int c = 0; c < 3; ++c)
                At(picture, w, i, j, c) = static_cast<uint8_t>(
                    (in(i, j - 1, c) + 4 * in(i, j, c) + in(i, j + 1, c) + in(i - 1, j, c) + in(i + 1, j, c)) >> 3);
}

void Grey(Bytes &picture, int w, int h) {
    for (int i = 0; i < h; ++i) {
        for (int j = 0; j < w; ++j) {
            const int y = (30 * At(picture, w, i, j, 2) + 59 * At(picture, w, i, j, 1) + 11 * At(picture, w, i, j, 0)) / 100;
            Set(picture, w, i, j, y, y, y);
        }
    }
}

void Gains(Bytes &picture, int w, int h, const GainTables &gains) {
    for (size_t k = 0; k < picture.size(); ++k) picture[k] = gains[k % 3][picture[k]];
}

void ColourMatrix(Bytes &picture, int w, int h, const GainTables &gains, int s) {
    const int M[4][4] = {{205, -63, -34, 0}, {-65, 222, -125, 0}, {-12, -32, 286, 0}, {0, 0, 0, 0}};
    const int wR = (315 * (128 - s)) >> 10, wG = (624 * (128 - s)) >> 10, wB = (84 * (128 - s)) >> 10;
    const int S[4][4] = {{wR + s, wR, wR, 0}, {wG, wG + s, wG, 0}, {wB, wB, wB + s, 0}, {0, 0, 0, 1}};
    int P[4][4] = {};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            for (int k = 0; k < 4; ++k) P[i][j] += M[i][k] * S[k][j];
    for (int i = 0; i < h; ++i) {
        for (int j = 0; j < w; ++j) {
            const int R = gains[2][At(picture, w, i, j, 2)];
            const int G = gains[1][At(picture, w, i, j, 1)];
            const int B = gains[0][At(picture, w, i, j, 0)];
            const int red = Clamp((R * P[0][0] + G * P[1][0] + B * P[2][0] + P[3][0]) >> 14);
            const int green = Clamp((R * P[0][1] + G * P[1][1] + B * P[2][1] + P[3][1]) >> 14);
            const int blue = Clamp((R * P[0][2] + G * P[1][2] + B * P[2][2] + P[3][2]) >> 14);
            Set(picture, w, i, j, blue, green, red);
        }
    }
}

}  // namespace

Bytes Demosaic(Bytes raw, int w, int h, int Speed) {
    auto S = [&](int i, int j) { return static_cast<int>(raw[(i + 2) * (w + 152) + 152 + j]); };
    Bytes picture(static_cast<size_t>(w) * h * 3, 0);
    const int p = Speed;
    for (int i = 1; i <= h - 2; ++i) {
        for (int j = 1; j <= w - 2; ++j) {
            const int x = S(i, j), l = S(i, j - 1), r = S(i, j + 1), u = S(i - 1, j), d = S(i + 1, j);
            const int ur = S(i - 1, j + 1);
            const int cross = l + r + u + d;
            const int diag = S(i - 1, j - 1) + S(i - 1, j + 1) + S(i + 1, j - 1) + S(i + 1, j + 1);
            if (i % 2 == 0 && j % 2 == p)
                Set(picture, w, i, j, x, cross >> 2, diag >> 2);
            else if (i % 2 == 0)
                Set(picture, w, i, j, (l + r) >> 1, (x + ur) >> 1, (u + d) >> 1);
            else if (j % 2 == p)
                Set(picture, w, i, j, (u + d) >> 1, (x + ur) >> 1, (l + r) >> 1);
            else
                Set(picture, w, i, j, diag >> 2, cross >> 2, x);
        }
    }
    return picture;
}

void BuildGainTables(GainTables &tables, int r, int g, int b) {
    for (int v = 0; v < 256; ++v) {
        tables[0][v] = static_cast<uint8_t>(std::min(255, (v * b) >> 6));
        tables[1][v] = static_cast<uint8_t>(std::min(255, (v * g) >> 6));
        tables[2][v] = static_cast<uint8_t>(std::min(255, (v * r) >> 6));
    }
}

void Finish(Bytes &picture, int w, int h, const Settings &settings, const GainTables &gains,
            const uint8_t (&tone)[256]) {
    if (settings.smooth) Smooth(picture, w, h);
    if (settings.WhiteBlack)
        Grey(picture, w, h);
    else if (settings.EnableSaturation)
        ColourMatrix(picture, w, h, gains, settings.Saturation);
    else
        Gains(picture, w, h, gains);
    for (uint8_t &byte : picture) byte = tone[byte];
    const size_t stride = static_cast<size_t>(w) * 3;
    if (settings.VFlip == 0) {
        Bytes row(stride);
        for (int k = 0; k <= h / 2 - 1; ++k) {
            std::copy_n(picture.begin() + k * stride, stride, row.begin());
            std::copy_n(picture.begin() + (h - 1 - k) * stride, stride, picture.begin() + k * stride);
            std::copy_n(row.begin(), stride, picture.begin() + (h - 1 - k) * stride);
        }
    }
    if (settings.HFlip) {
        for (int i = 0; i < h; ++i)
            for (int j = 0; j <= w / 2 - 1; ++j)
                for (int c = 0; c < 3; ++c) std::swap(At(picture, w, i, j, c), At(picture, w, i, w - 1 - j, c));
    }
}

}  // namespace reference
