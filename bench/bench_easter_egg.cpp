// The easter egg's drawing: the Mandelbrot set at 320 x 200 for the whole
// set and a deep view, and one frame of the turning torus (224 x 224). The
// window draws one torus frame per screen refresh, so the frame time over
// the refresh period is the share of a core the animation takes.
//
//   bench_easter_egg [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include "gui/indexed_bitmap.h"
#include "gui/mandelbrot_view.h"
#include "gui/transform_matrix.h"

namespace {

void MandelWholeSet(benchmark::State& state) {
  corvane::IndexedBitmap dib;
  dib.SetWidth(320);
  dib.SetHeight(200);
  for (auto _ : state) corvane::DrawMandel(dib, -2, -1, 1, 1);
  state.SetItemsProcessed(state.iterations() * 320 * 200);
}
BENCHMARK(MandelWholeSet)->Unit(benchmark::kMillisecond);

void MandelSeahorseValley(benchmark::State& state) {
  corvane::IndexedBitmap dib;
  dib.SetWidth(320);
  dib.SetHeight(200);
  for (auto _ : state) corvane::DrawMandel(dib, -0.8L, 0.05L, -0.65L, 0.17L);
  state.SetItemsProcessed(state.iterations() * 320 * 200);
}
BENCHMARK(MandelSeahorseValley)->Unit(benchmark::kMillisecond);

void TorusFrame(benchmark::State& state) {
  corvane::IndexedBitmap dib;
  dib.SetWidth(224);
  dib.SetHeight(224);
  corvane::TorusModel torus;
  torus.Build();
  float a = 0;
  for (auto _ : state) {
    corvane::TransformMatrix m;
    m.Rotate(a * 2, a * 3, a * 4);
    m.Translate(112, 112, 0);
    torus.Draw(m, dib);
    a += 0.01f;
  }
}
BENCHMARK(TorusFrame)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
