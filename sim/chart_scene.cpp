#include "sim/chart_scene.h"

#include <cmath>

namespace tm350::sim {
namespace {

constexpr Reflectance kWallColour{110, 110, 110};
constexpr Reflectance kShelfColour{60, 60, 60};
constexpr Reflectance kBallColour{220, 220, 220};

constexpr Reflectance kPatchColours[ChartScene::kRows][ChartScene::kColumns] = {
    // red, green, blue, cyan, magenta, yellow
    {{200, 45, 45}, {45, 200, 45}, {45, 45, 200}, {45, 200, 200}, {200, 45, 200}, {200, 200, 45}},
    // orange, rose, lime, sea green, violet, azure
    {{210, 120, 50}, {210, 50, 120}, {120, 210, 50}, {50, 210, 120}, {120, 50, 210}, {50, 120, 210}},
    // skin, dusty pink, olive, jade, lavender, steel blue
    {{150, 100, 70}, {150, 70, 100}, {100, 150, 70}, {70, 150, 100}, {100, 70, 150}, {70, 100, 150}},
    // white to black
    {{240, 240, 240}, {180, 180, 180}, {125, 125, 125}, {80, 80, 80}, {45, 45, 45}, {15, 15, 15}},
};

}  // namespace

Reflectance ChartScene::ReflectanceOf(unsigned material) {
    switch (material) {
    case kWall: return kWallColour;
    case kShelfMaterial: return kShelfColour;
    case kBall: return kBallColour;
    default: break;
    }
    const unsigned patch = material - kFirstPatch;
    if (material < kFirstPatch || patch >= kRows * kColumns) return {};
    return kPatchColours[patch / kColumns][patch % kColumns];
}

Area ChartScene::PatchArea(int row, int column) {
    return {kChartLeft + column * (kPatchSize + kPatchGap), kChartTop + row * (kPatchSize + kPatchGap), kPatchSize,
            kPatchSize};
}

const ChartScene &ChartScene::Get() {
    static const ChartScene scene;
    return scene;
}

ChartScene::ChartScene() : materials_(static_cast<size_t>(kWidth) * kHeight, kWall) {
    auto paint = [this](const Area &area, uint8_t material) {
        for (int y = area.top; y < area.top + area.height; ++y)
            for (int x = area.left; x < area.left + area.width; ++x)
                materials_[static_cast<size_t>(y) * kWidth + x] = material;
    };
    paint(kShelf, kShelfMaterial);
    for (int row = 0; row < kRows; ++row)
        for (int column = 0; column < kColumns; ++column)
            paint(PatchArea(row, column), static_cast<uint8_t>(PatchMaterial(row, column)));
    for (int dy = -kBallRadius; dy <= kBallRadius; ++dy)
        ball_half_widths_[dy + kBallRadius] =
            static_cast<int>(std::sqrt(static_cast<double>(kBallRadius * kBallRadius - dy * dy)));
}

}  // namespace tm350::sim
