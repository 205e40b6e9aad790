// What a profile of many sections costs to read: up to the largest profile
// simdev takes (1 MiB), each section of its own name with one key, or names
// repeated so that sections merge. A cost that grows linearly with the text
// reads 1 MiB in 16 times the time of 64 KiB; a merge that searched the
// sections read so far took 256 times.
//
//   IniReader/N        the INI reader alone on N bytes of distinct names (the floor)
//   ProfileDistinct/N  the profile of that text: every section new
//   ProfileRepeated    1 MiB of sections whose 1024 names repeat: every section merges
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "sim/profile.h"

namespace {

// "[sN]\nk = v\n" lines up to `bytes`, N counting modulo `names`.
std::string many_sections(size_t bytes, unsigned names) {
  std::string text;
  for (unsigned i = 0;; ++i) {
    std::string section = "[s" + std::to_string(i % names) + "]\nk = v\n";
    if (text.size() + section.size() > bytes) return text;
    text += section;
  }
}

void IniReader(benchmark::State& state) {
  const std::string text = many_sections(static_cast<size_t>(state.range(0)), ~0u);
  std::vector<sim::IniSection> sections;
  std::string error;
  for (auto _ : state) benchmark::DoNotOptimize(sim::ini_parse(text, &sections, &error));
  state.counters["sections"] = static_cast<double>(sections.size());
}

void read_profile(benchmark::State& state, size_t bytes, unsigned names) {
  const std::string text = many_sections(bytes, names);
  size_t merged = 0;
  for (auto _ : state) {
    sim::Profile p;
    std::string error;
    if (sim::profile_parse(text, &p, &error) != 0) state.SkipWithError(error.c_str());
    merged = p.sections.size();
  }
  state.counters["sections"] = static_cast<double>(merged);
}

void ProfileDistinct(benchmark::State& state) { read_profile(state, static_cast<size_t>(state.range(0)), ~0u); }
void ProfileRepeated(benchmark::State& state) { read_profile(state, sim::kMaxIniBytes, 1024); }

BENCHMARK(IniReader)->Arg(sim::kMaxIniBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(ProfileDistinct)->Arg(sim::kMaxIniBytes / 16)->Arg(sim::kMaxIniBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(ProfileRepeated)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
