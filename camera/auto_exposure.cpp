#include "camera/auto_exposure.h"

#include <algorithm>
#include <cstdlib>

namespace {

// Measurements outside this band are not averaged with the expectation: they
// force the largest step in the right direction.
constexpr int kSaturatedAbove = 210;
constexpr int kBlackBelow = 30;
constexpr int kDeadBand = 10;
constexpr int kMaximumExposureRows = 791;
constexpr int kMaximumAutoGain = 752;
constexpr int kGainFloorWhenBright = 232;
constexpr int kGainFloorWhenDark = 272;

int StepSize(int error) {
    if (error >= 61) return 70;
    if (error >= 51) return 50;
    if (error >= 41) return 40;
    if (error >= 31) return 31;
    if (error >= 26) return 23;
    if (error >= 21) return 15;
    if (error >= 16) return 8;
    if (error >= 11) return 4;
    return 2;
}

}  // namespace

BYTE BrightnessOfSums(DWORD sumBlue, DWORD sumGreen, DWORD sumRed, int w, int h) {
    const DWORD area = static_cast<DWORD>(w) * static_cast<DWORD>(h);
    if (area == 0) return 16;
    const BYTE meanBlue = static_cast<BYTE>(sumBlue * 4 / area);
    const BYTE meanGreen = static_cast<BYTE>(sumGreen * 4 / area);
    const BYTE meanRed = static_cast<BYTE>(sumRed * 4 / area);
    return static_cast<BYTE>(((8432 * meanRed + 16425 * meanGreen + 3176 * meanBlue) >> 15) + 16);
}

BYTE MeasureBrightness(const BYTE *picture, int w, int h) {
    DWORD sumBlue = 0, sumGreen = 0, sumRed = 0;
    for (int y = h / 4; y < 3 * h / 4; ++y) {
        const BYTE *pixel = picture + (static_cast<size_t>(y) * w + w / 4) * 3;
        for (int x = w / 4; x < 3 * w / 4; ++x, pixel += 3) {
            sumBlue += pixel[0];
            sumGreen += pixel[1];
            sumRed += pixel[2];
        }
    }
    return BrightnessOfSums(sumBlue, sumGreen, sumRed, w, h);
}

void AutoExpose(const BYTE *picture, int w, int h, CCameraSettings &settings, CAutoExposureState &state,
                CExposureWriter &camera) {
    if (settings.AutoExposure == 0) return;
    AutoExposeBrightness(MeasureBrightness(picture, w, h), settings, state, camera);
}

void AutoExposeBrightness(BYTE brightness, CCameraSettings &settings, CAutoExposureState &state,
                          CExposureWriter &camera) {
    if (settings.AutoExposure == 0) return;
    int measured;
    if (brightness > kSaturatedAbove) {
        measured = 255;
    } else if (brightness < kBlackBelow) {
        measured = 1;
    } else {
        measured = (state.expectedBrightness + brightness) / 2;
    }
    state.measuredBrightness = static_cast<BYTE>(measured);

    const int target = settings.AETarget;
    const int error = std::abs(measured - target);
    if (error < kDeadBand) {
        state.expectedBrightness = static_cast<BYTE>(target);
        return;
    }
    const int step = StepSize(error);
    const int quarter = std::max(step / 4, 1);
    const int half = std::max(step / 2, 1);
    const int eighth = std::max(step / 8, 1);
    // After a correction the picture is assumed to move half the error, at
    // most a quarter of the target, towards the target.
    const int expectedMove = std::min(target / 4, error / 2);
    int gain = settings.AnalogGain;
    int rows = settings.ExposureTime;

    if (measured > target) {
        // Too bright: the gain comes down to its floor first, then the time.
        state.expectedBrightness = static_cast<BYTE>(target - expectedMove);
        if (gain > step + kGainFloorWhenBright) {
            gain -= rows >= 10 ? step : quarter;
        } else if (gain > kGainFloorWhenBright) {
            gain = kGainFloorWhenBright;
        } else if (rows > step + 20) {
            rows -= step;
        } else if (rows > quarter + 10) {
            rows -= quarter;
        } else if (rows > 1) {
            rows -= 1;
        }
    } else {
        // Too dark: the gain rises to its floor, then the time up to its
        // maximum, and only then the gain further.
        state.expectedBrightness = static_cast<BYTE>(target + expectedMove);
        if (gain < kGainFloorWhenDark) {
            gain += half;
        } else if (rows < 10) {
            rows += 1;
        } else if (rows < 20) {
            rows += eighth;
        } else if (rows < 40) {
            rows += quarter;
        } else {
            rows += step;
            if (rows > kMaximumExposureRows) {
                rows = kMaximumExposureRows;
                if (gain < kMaximumAutoGain) gain += 2 * step;
            }
        }
    }
    settings.AnalogGain = static_cast<WORD>(std::min(gain, kMaximumAutoGain));
    settings.ExposureTime = static_cast<WORD>(std::min(rows, kMaximumExposureRows));
    camera.SetAnalogGain(settings.AnalogGain);
    camera.SetExposure(settings.ExposureTime);
}

void OnePushWhiteBalance(const BYTE *picture, int w, int h, CCameraSettings &settings) {
    DWORD sumBlue = 0, sumGreen = 0, sumRed = 0;
    const size_t pixels = static_cast<size_t>(w) * static_cast<size_t>(h);
    for (size_t i = 0; i < pixels; ++i, picture += 3) {
        sumBlue += picture[0];
        sumGreen += picture[1];
        sumRed += picture[2];
    }
    const DWORD red64 = sumRed >> 6;
    const DWORD blue64 = sumBlue >> 6;
    if (red64 == 0 || sumGreen == 0 || blue64 == 0) return;
    const DWORD redGain = sumGreen / red64;
    const DWORD blueGain = sumGreen / blue64;
    if (redGain <= 255 && blueGain <= 255) {
        settings.r = static_cast<BYTE>(redGain);
        settings.g = 64;
        settings.b = static_cast<BYTE>(blueGain);
    } else if (redGain >= blueGain) {
        // Scaled so that the largest gain is 255; 64-bit products cannot overflow.
        settings.r = 255;
        settings.g = static_cast<BYTE>(16320 / redGain);
        settings.b = static_cast<BYTE>(static_cast<ULONGLONG>(blueGain) * 255 / redGain);
    } else {
        settings.r = static_cast<BYTE>(static_cast<ULONGLONG>(redGain) * 255 / blueGain);
        settings.g = static_cast<BYTE>(16320 / blueGain);
        settings.b = 255;
    }
}
