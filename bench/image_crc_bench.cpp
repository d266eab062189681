// ImageCrc16 over a full application (offsets 0x100 to the end of the image).
#include "image/app_image.h"
#include "image/image_crc.h"

#include <benchmark/benchmark.h>

#include <random>

namespace {

void BM_ImageCrc16FullApplication(benchmark::State& state) {
    std::mt19937 rng(1);
    for (uint8_t& byte : AppImage) {
        byte = static_cast<uint8_t>(rng());
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(ImageCrc16(AppImage, kApplicationOffset, ImageSize));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            (ImageSize - kApplicationOffset));
}

}  // namespace

BENCHMARK(BM_ImageCrc16FullApplication);
