// Chooses the widest IDEA kernel the CPU and the OS support, once per process.
#include "net/idea_simd.h"

#include <initializer_list>

namespace {

bool CpuHas(IdeaPath path) {
#if defined(__x86_64__) && defined(__GNUC__)
    // The library's constructor may not have run yet when a static initialiser gets here.
    __builtin_cpu_init();
    switch (path) {
    case IdeaPath::Scalar:
        return true;
    case IdeaPath::Sse2:
        return __builtin_cpu_supports("sse2");
    case IdeaPath::Avx2:
        // Also false when the OS does not save the wide registers.
        return __builtin_cpu_supports("avx2");
    case IdeaPath::Avx512:
        return __builtin_cpu_supports("avx512bw");
    }
    return false;
#else
    return path == IdeaPath::Scalar;
#endif
}

} // namespace

bool IdeaPathSupported(IdeaPath path) {
    return CpuHas(path);
}

IdeaPath IdeaBestPath() {
    static const IdeaPath best = [] {
        for (IdeaPath path : {IdeaPath::Avx512, IdeaPath::Avx2, IdeaPath::Sse2})
            if (CpuHas(path))
                return path;
        return IdeaPath::Scalar;
    }();
    return best;
}

IdeaBlocksFn IdeaKernel(IdeaPath path) {
    switch (path) {
    case IdeaPath::Sse2:
        return IdeaCryptBlocksSse2;
    case IdeaPath::Avx2:
        return IdeaCryptBlocksAvx2;
    case IdeaPath::Avx512:
        return IdeaCryptBlocksAvx512;
    case IdeaPath::Scalar:
        break;
    }
    return IdeaCryptBlocksScalar;
}

const char* IdeaPathName(IdeaPath path) {
    switch (path) {
    case IdeaPath::Sse2:
        return "sse2";
    case IdeaPath::Avx2:
        return "avx2";
    case IdeaPath::Avx512:
        return "avx512bw";
    case IdeaPath::Scalar:
        break;
    }
    return "scalar";
}
