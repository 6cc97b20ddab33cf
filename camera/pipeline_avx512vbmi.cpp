// The pipeline's inner loops for this instruction set (see pipeline_kernels.inc).
#define TM350_PIPELINE_ISA avx512vbmi
#include "camera/pipeline_kernels.inc"
