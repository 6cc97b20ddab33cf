#include "camera/pipeline_kernels.h"

namespace tm350::pipeline {

bool IsaAvailable(Isa isa) {
    switch (isa) {
    case Isa::Portable:
        return true;
#if defined(TM350_PIPELINE_X86)
    case Isa::Avx2:
        return __builtin_cpu_supports("avx2");
    case Isa::Avx512Vbmi:
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512vbmi");
#endif
    default:
        return false;
    }
}

Isa BestIsa() {
    static const Isa best = IsaAvailable(Isa::Avx512Vbmi) ? Isa::Avx512Vbmi
                            : IsaAvailable(Isa::Avx2)     ? Isa::Avx2
                                                          : Isa::Portable;
    return best;
}

void DemosaicPicture(Isa isa, const uint8_t *mosaic, uint8_t *picture, int w, int h, int phase) {
    switch (isa) {
#if defined(TM350_PIPELINE_X86)
    case Isa::Avx512Vbmi:
        return avx512vbmi::DemosaicPicture(mosaic, picture, w, h, phase);
    case Isa::Avx2:
        return avx2::DemosaicPicture(mosaic, picture, w, h, phase);
#endif
    default:
        return portable::DemosaicPicture(mosaic, picture, w, h, phase);
    }
}

void FinishRows(Isa isa, const uint8_t *source, uint8_t *target, int w, int h, const FinishPlan &plan) {
    switch (isa) {
#if defined(TM350_PIPELINE_X86)
    case Isa::Avx512Vbmi:
        return avx512vbmi::FinishRows(source, target, w, h, plan);
    case Isa::Avx2:
        return avx2::FinishRows(source, target, w, h, plan);
#endif
    default:
        return portable::FinishRows(source, target, w, h, plan);
    }
}

bool DevelopRows(Isa isa, const uint8_t *mosaic, uint8_t *target, int w, int h, int phase, const FinishPlan &plan,
                 uint32_t sums[3]) {
    switch (isa) {
#if defined(TM350_PIPELINE_X86)
    case Isa::Avx512Vbmi:
        return avx512vbmi::DevelopRows(mosaic, target, w, h, phase, plan, sums);
    case Isa::Avx2:
        return avx2::DevelopRows(mosaic, target, w, h, phase, plan, sums);
#endif
    default:
        return portable::DevelopRows(mosaic, target, w, h, phase, plan, sums);
    }
}

}  // namespace tm350::pipeline
