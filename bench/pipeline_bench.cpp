// The per-frame image pipeline on one 1024 x 768 frame, single-threaded: each
// step, the whole chain in the output pin's order, and OpenCV's bilinear
// Bayer-to-BGR conversion as the peer, with the ratios against that peer.
#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "camera/auto_exposure.h"
#include "camera/colour_processing.h"
#include "camera/demosaic.h"
#include "camera/picture_flips.h"
#include "camera/picture_pipeline.h"
#include "camera/raw_frame.h"

namespace {

constexpr int kWidth = 1024;
constexpr int kHeight = 768;
constexpr size_t kPictureSize = static_cast<size_t>(kWidth) * kHeight * 3;

std::vector<BYTE> RandomBytes(size_t size) {
    std::vector<BYTE> bytes(size);
    std::mt19937 generator(350);
    for (BYTE &byte : bytes) byte = static_cast<BYTE>(generator());
    return bytes;
}

// What every step works on: a raw frame and a demosaiced picture of it.
struct Frame {
    std::vector<BYTE> raw = RandomBytes(RAW_FRAME_SIZE);
    std::vector<BYTE> picture = std::vector<BYTE>(kPictureSize);
    std::vector<BYTE> scratch = std::vector<BYTE>(kPictureSize);
    CGainTables gains;
    CToneTable tone;
    CCameraSettings settings;

    Frame() {
        settings.SetDefaults();
        BuildGainTables(gains, settings.r, settings.g, settings.b);
        BuildToneTable(tone, settings.Gamma, settings.Contrast);
        Demosaic(raw.data(), picture.data(), kWidth, kHeight, 0);
        scratch = picture;
    }
};

Frame &SharedFrame() {
    static Frame frame;
    return frame;
}

// Extraction rearranges the raw buffer in place; running it again on the
// rearranged bytes costs the same, so the raw buffer is not refreshed.
void BM_Demosaic(benchmark::State &state) {
    Frame &f = SharedFrame();
    for (auto _ : state) {
        Demosaic(f.raw.data(), f.picture.data(), kWidth, kHeight, 0);
        benchmark::ClobberMemory();
    }
}

void BM_CorrectDefects(benchmark::State &state) {
    Frame &f = SharedFrame();
    CDefectList defects = {};
    defects.count = CDefectList::Capacity;
    for (DWORD i = 0; i < defects.count; ++i) defects.entries[i] = {static_cast<SHORT>(10 + i * 17), static_cast<SHORT>(5 + i * 13)};
    for (auto _ : state) {
        CorrectDefects(f.raw.data(), kWidth, kHeight, defects);
        benchmark::ClobberMemory();
    }
}

template <void (*Step)(Frame &)>
void BM_Step(benchmark::State &state) {
    Frame &f = SharedFrame();
    for (auto _ : state) {
        Step(f);
        benchmark::ClobberMemory();
    }
}

void Smoothing(Frame &f) { Smooth(f.picture.data(), kWidth, kHeight, f.scratch.data()); }
void ColourMatrix(Frame &f) { ApplyColourMatrix(f.picture.data(), kWidth, kHeight, f.gains, f.settings.Saturation); }
void GainTables(Frame &f) { ApplyGainTables(f.picture.data(), kWidth, kHeight, f.gains); }
void Grey(Frame &f) { ApplyGrey(f.picture.data(), kWidth, kHeight); }
void Tone(Frame &f) { ApplyToneTable(f.picture.data(), kWidth, kHeight, f.tone); }
void Flip(Frame &f) { FlipRows(f.picture.data(), kWidth, kHeight, 0); }  // 0: rows reversed
void Mirror(Frame &f) { MirrorRows(f.picture.data(), kWidth, kHeight, 1); }
void Brightness(Frame &f) { benchmark::DoNotOptimize(MeasureBrightness(f.picture.data(), kWidth, kHeight)); }
void WhiteBalance(Frame &f) { OnePushWhiteBalance(f.picture.data(), kWidth, kHeight, f.settings); }

// The output pin's per-frame work with the default settings (colour matrix
// path, rows reversed), plus the mirror, so that no step is skipped: the
// single pass from raw frame to sample, which also measures the brightness
// automatic exposure needs.
void BM_Chain(benchmark::State &state) {
    Frame &f = SharedFrame();
    f.settings.HFlip = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            DevelopPicture(f.raw.data(), f.picture.data(), kWidth, kHeight, f.settings, f.gains, f.tone));
        benchmark::ClobberMemory();
    }
    f.settings.HFlip = 0;
}

// A frame with a one-push white balance pending: the demosaic into the
// scratch picture, its brightness, then the finishing pass into the sample.
void BM_ChainTwoPasses(benchmark::State &state) {
    Frame &f = SharedFrame();
    f.settings.HFlip = 1;
    for (auto _ : state) {
        Demosaic(f.raw.data(), f.scratch.data(), kWidth, kHeight, 0);
        benchmark::DoNotOptimize(MeasureBrightness(f.scratch.data(), kWidth, kHeight));
        FinishPicture(f.scratch.data(), f.picture.data(), kWidth, kHeight, f.settings, f.gains, f.tone);
        benchmark::ClobberMemory();
    }
    f.settings.HFlip = 0;
}

// The same frame through the steps one at a time, each a pass of its own.
void BM_ChainStepByStep(benchmark::State &state) {
    Frame &f = SharedFrame();
    for (auto _ : state) {
        Demosaic(f.raw.data(), f.picture.data(), kWidth, kHeight, 0);
        benchmark::DoNotOptimize(MeasureBrightness(f.picture.data(), kWidth, kHeight));
        Smooth(f.picture.data(), kWidth, kHeight, f.scratch.data());
        ApplyColourMatrix(f.picture.data(), kWidth, kHeight, f.gains, f.settings.Saturation);
        ApplyToneTable(f.picture.data(), kWidth, kHeight, f.tone);
        FlipRows(f.picture.data(), kWidth, kHeight, 0);
        MirrorRows(f.picture.data(), kWidth, kHeight, 1);
        benchmark::ClobberMemory();
    }
}

// The fused pass alone for each instruction set this processor has, with
// each colour step.
void BM_FinishPicture(benchmark::State &state) {
    Frame &f = SharedFrame();
    const auto isa = static_cast<tm350::pipeline::Isa>(state.range(0));
    if (!tm350::pipeline::IsaAvailable(isa)) {
        state.SkipWithError("not available on this processor");
        return;
    }
    CCameraSettings settings = f.settings;
    settings.WhiteBlack = state.range(1) == 0;
    settings.EnableSaturation = state.range(1) == 1;
    settings.HFlip = 1;
    for (auto _ : state) {
        tm350::pipeline::FinishPictureWith(isa, f.scratch.data(), f.picture.data(), kWidth, kHeight, settings, f.gains,
                                           f.tone);
        benchmark::ClobberMemory();
    }
}

void BM_DemosaicWith(benchmark::State &state) {
    Frame &f = SharedFrame();
    const auto isa = static_cast<tm350::pipeline::Isa>(state.range(0));
    if (!tm350::pipeline::IsaAvailable(isa)) {
        state.SkipWithError("not available on this processor");
        return;
    }
    for (auto _ : state) {
        tm350::pipeline::DemosaicWith(isa, f.raw.data(), f.picture.data(), kWidth, kHeight, 0);
        benchmark::ClobberMemory();
    }
}

void BM_OpenCvBayerToBgr(benchmark::State &state) {
    cv::setNumThreads(1);
    std::vector<BYTE> mosaic = RandomBytes(static_cast<size_t>(kWidth) * kHeight);
    cv::Mat bayer(kHeight, kWidth, CV_8UC1, mosaic.data());
    cv::Mat bgr(kHeight, kWidth, CV_8UC3);
    for (auto _ : state) {
        cv::cvtColor(bayer, bgr, cv::COLOR_BayerBG2BGR);
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_OpenCvBayerToBgr);
BENCHMARK(BM_CorrectDefects);
BENCHMARK(BM_Demosaic);
BENCHMARK(BM_Step<Brightness>)->Name("BM_MeasureBrightness");
BENCHMARK(BM_Step<WhiteBalance>)->Name("BM_OnePushWhiteBalance");
BENCHMARK(BM_Step<Smoothing>)->Name("BM_Smooth");
BENCHMARK(BM_Step<ColourMatrix>)->Name("BM_ApplyColourMatrix");
BENCHMARK(BM_Step<GainTables>)->Name("BM_ApplyGainTables");
BENCHMARK(BM_Step<Grey>)->Name("BM_ApplyGrey");
BENCHMARK(BM_Step<Tone>)->Name("BM_ApplyToneTable");
BENCHMARK(BM_Step<Flip>)->Name("BM_FlipRows");
BENCHMARK(BM_Step<Mirror>)->Name("BM_MirrorRows");
BENCHMARK(BM_Chain);
BENCHMARK(BM_ChainTwoPasses);
BENCHMARK(BM_ChainStepByStep);
// Arguments: instruction set (0 portable, 1 AVX2, 2 AVX-512 VBMI); colour step
// (0 grey, 1 colour matrix, 2 gain tables).
BENCHMARK(BM_DemosaicWith)->ArgNames({"isa"})->DenseRange(0, 2);
BENCHMARK(BM_FinishPicture)->ArgNames({"isa", "colour"})->ArgsProduct({{0, 1, 2}, {0, 1, 2}});

// Prints the usual table, then each time as a ratio of the OpenCV peer's.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        // With repetitions the median stands for the benchmark; without, its one run.
        for (const Run &run : runs) {
            const std::string name = run.run_name.function_name +
                                     (run.run_name.args.empty() ? "" : "/" + run.run_name.args);
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians_[name] = run.GetAdjustedRealTime();
            else if (run.run_type == Run::RT_Iteration)
                times_[name] = run.GetAdjustedRealTime();
        }
        for (const auto &[name, time] : medians_) times_[name] = time;
    }
    void PrintRatios() const {
        auto peer = times_.find("BM_OpenCvBayerToBgr");
        if (peer == times_.end() || peer->second <= 0) return;
        printf("\nratio to OpenCV cvtColor (Bayer to BGR, 1 thread; targets: at most 1.0 for BM_Demosaic, 3.0 for BM_Chain):\n");
        for (const auto &[name, time] : times_) printf("  %-28s %6.2f\n", name.c_str(), time / peer->second);
    }

private:
    std::map<std::string, double> times_;
    std::map<std::string, double> medians_;
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
