// File lists for the clipboard and drag and drop: building and reading the
// name maps and uri lists of many long paths.
//
//   bench_desktop [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "desktop/file_lists.h"

namespace {

std::vector<std::string> Paths(int count) {
  std::vector<std::string> paths;
  for (int i = 0; i < count; ++i)
    paths.push_back("/tmp/corvane-kit-1000/Documents and Letters/r\xC3\xA9sum\xC3\xA9 " + std::to_string(i) + ".txt");
  return paths;
}

void BuildAndReadNameMap(benchmark::State& state) {
  const auto paths = Paths(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    const auto block = corvane::BuildFileNameMap(paths);
    auto back = corvane::ReadFileNameMap(block);
    benchmark::DoNotOptimize(back.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BuildAndReadNameMap)->Arg(10)->Arg(1000);

void BuildAndReadWideNameMap(benchmark::State& state) {
  const auto paths = Paths(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    const auto block = corvane::BuildFileNameMapW(paths);
    auto back = corvane::ReadFileNameMapW(block);
    benchmark::DoNotOptimize(back.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BuildAndReadWideNameMap)->Arg(10)->Arg(1000);

void BuildAndParseUriList(benchmark::State& state) {
  const auto paths = Paths(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    const auto text = corvane::BuildUriList(paths);
    auto back = corvane::ParseUriList(text);
    benchmark::DoNotOptimize(back.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BuildAndParseUriList)->Arg(10)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
