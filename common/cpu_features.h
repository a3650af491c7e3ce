// What the processor running the program offers beyond the build's baseline instruction set. Code
// built for a wider set lives in translation units of its own and is only called when this says so.
#pragma once

namespace qv {

// True on an x86-64 processor with AVX2 in a build that carries the AVX2 kernels.
bool CpuHasAvx2();

}  // namespace qv
