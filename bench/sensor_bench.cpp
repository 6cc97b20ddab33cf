// The simulated CCD's cost per frame, as the host controller's thread pays
// it: BeginFrame, then the frame read out in the pieces one bus frame takes
// at high speed (67 per frame), with noise on and off.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <span>
#include <vector>

#include "sim/ccd_sensor.h"

namespace {

using tm350::sim::kFrameBytes;

void ReadOutFrame(benchmark::State &state, tm350::sim::Noise noise) {
    tm350::sim::RegisterFile registers;
    registers.Write(tm350::sim::kExposureRegister, (792 - 300) << 12);
    registers.Write(tm350::sim::kGainRegister, 224);
    tm350::sim::CameraMemory memory;
    tm350::sim::StoreDefectTable(memory, tm350::sim::DefectTable::Default());
    tm350::sim::CcdSensor sensor(noise, 1);
    std::vector<uint8_t> frame(kFrameBytes);
    constexpr size_t kPiece = kFrameBytes / tm350::sim::kHighSpeedFramePeriod + 1;
    uint64_t sequence = 0;
    for (auto _ : state) {
        sensor.BeginFrame({.sequence = sequence++, .speed = registers.Speed(), .registers = &registers,
                           .memory = &memory});
        for (size_t at = 0; at < kFrameBytes; at += kPiece)
            sensor.ReadOut(at, std::span(frame).subspan(at, std::min(kPiece, kFrameBytes - at)));
        benchmark::DoNotOptimize(frame.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kFrameBytes));
}

void BeginFrame(benchmark::State &state) {
    tm350::sim::RegisterFile registers;
    tm350::sim::CameraMemory memory;
    tm350::sim::StoreDefectTable(memory, tm350::sim::DefectTable::Default());
    tm350::sim::CcdSensor sensor(tm350::sim::Noise::On, 1);
    uint64_t sequence = 0;
    for (auto _ : state)
        sensor.BeginFrame({.sequence = sequence++, .speed = registers.Speed(), .registers = &registers,
                           .memory = &memory});
}

}  // namespace

BENCHMARK_CAPTURE(ReadOutFrame, NoiseOn, tm350::sim::Noise::On)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ReadOutFrame, NoiseOff, tm350::sim::Noise::Off)->Unit(benchmark::kMillisecond);
BENCHMARK(BeginFrame)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
