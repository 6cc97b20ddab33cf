// What the simulated camera looks at: a colour chart hung on a grey wall
// under warm indoor light, and above it a white ball rolling along a dark
// shelf, one step further in every frame.
//
// The scene is described in picture coordinates (1024 x 768, row 0 at the
// top) as a map of materials, each with one reflectance per colour. The map
// is built once per process and never changes; the ball is not in it but is
// placed per frame, so every frame costs the same.
//
// The chart has 6 x 4 patches. The three colour rows are each closed under
// swapping the colours (row 0: red, green, blue and their complements;
// rows 1 and 2: the six orders of one triple), the fourth row runs from
// white to black through neutral greys, and wall, shelf and ball are
// neutral. So the scene as a whole reflects red, green and blue alike, and
// a grey-world white balance finds exactly the colour of the light.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tm350::sim {

// Of the light falling on a surface, the share it sends back, per colour:
// 255 sends all of it back.
struct Reflectance {
    uint8_t red = 0;
    uint8_t green = 0;
    uint8_t blue = 0;
};

// Light per colour, 256 = the strongest the sensor is made for.
struct Light {
    uint16_t red = 0;
    uint16_t green = 0;
    uint16_t blue = 0;
};

struct Area {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

class ChartScene {
public:
    static constexpr int kWidth = 1024;
    static constexpr int kHeight = 768;

    // A tungsten lamp: much more red than blue, as a white balance set for
    // daylight shows it.
    static constexpr Light kLight{256, 184, 108};

    // The chart: kRows x kColumns square patches with gaps of wall between.
    static constexpr int kRows = 4;
    static constexpr int kColumns = 6;
    static constexpr int kPatchSize = 128;
    static constexpr int kPatchGap = 32;
    static constexpr int kChartLeft = 48;
    static constexpr int kChartTop = 144;
    static constexpr int kGreyRow = 3;  // white, then lighter to darker greys, then black
    // Patches of row 0 by column.
    enum ColourPatch : int { kRedPatch, kGreenPatch, kBluePatch, kCyanPatch, kMagentaPatch, kYellowPatch };

    // The shelf the ball rolls on, across the whole width above the chart.
    static constexpr Area kShelf{0, 24, kWidth, 96};
    static constexpr int kBallRadius = 40;
    static constexpr int kBallCentreY = kShelf.top + kShelf.height / 2;
    // The ball moves this many columns to the right per frame and wraps
    // round, so it is back where it was every kBallPeriod frames.
    static constexpr int kBallStep = 16;
    static constexpr int kBallPeriod = kWidth / kBallStep;

    // Materials of the map.
    enum Material : uint8_t { kWall, kShelfMaterial, kBall, kFirstPatch };
    static constexpr unsigned kMaterials = kFirstPatch + kRows * kColumns;

    // The scene of this process, built on first use.
    static const ChartScene &Get();

    static Reflectance ReflectanceOf(unsigned material);
    static Area PatchArea(int row, int column);
    static unsigned PatchMaterial(int row, int column) { return kFirstPatch + row * kColumns + column; }
    // The ball's centre column in a frame; the ball wraps round the picture's
    // sides, so near them it shows at both.
    static int BallCentreX(uint64_t frame) {
        return static_cast<int>(frame % kBallPeriod) * kBallStep;
    }

    // The still scene's materials for picture row y, kWidth of them.
    const uint8_t *Row(int y) const { return &materials_[static_cast<size_t>(y) * kWidth]; }
    // How far the ball reaches left and right of its centre on picture row
    // y, or -1 where it does not reach that row.
    int BallHalfWidth(int y) const {
        const int dy = y - kBallCentreY;
        return dy < -kBallRadius || dy > kBallRadius ? -1 : ball_half_widths_[dy + kBallRadius];
    }

private:
    ChartScene();

    std::vector<uint8_t> materials_;  // kWidth x kHeight
    std::array<int, 2 * kBallRadius + 1> ball_half_widths_{};
};

}  // namespace tm350::sim
