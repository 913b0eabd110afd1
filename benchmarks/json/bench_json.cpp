// Measures, for one JSON document: korvane's parse and write throughput, the
// memory its value tree holds against the text size, and the parse
// throughput of RapidJSON's DOM, simdjson's DOM and yyjson on the same bytes,
// built in the same run. korvane's parse is timed beside its shallow check
// of an execution result: the check execute runs (the six members kept to
// kExecutionResultDepth), and the same text kept to that depth everywhere.
// Candidates run in
// interleaved rounds, so a load on the machine hits them alike. Prints one
// JSON object on stdout.
//
//   bench_json FILE [MIN_SECONDS [CANDIDATE]]   CANDIDATE alone, for profiling
//   bench_json --small MIN_SECONDS      per-call times on a 300-byte provider text
//
// Built with KORVANE_BENCH_NO_ANCHORS, korvane's candidates alone: for a
// compiler the anchors cannot be built with (zig's clang with its libc++).
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <new>
#include <numeric>
#include <random>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#ifndef KORVANE_BENCH_NO_ANCHORS
#include <rapidjson/document.h>
#include <simdjson.h>
#include <yyjson.h>
#endif

#include "execution_result.hpp"
#include "json/memory.hpp"
#include "json_bridge.hpp"

// Every allocation through operator new is counted in usable bytes plus the
// allocator's 8-byte chunk header, so the figures are what the heap holds.
namespace {
std::size_t g_live = 0;
std::size_t g_peak = 0;
bool g_counting = false;

void* counted_allocate(std::size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  if (g_counting) {
    g_live += malloc_usable_size(block) + 8;
    g_peak = std::max(g_peak, g_live);
  }
  return block;
}

void counted_free(void* block) noexcept {
  if (block == nullptr) return;
  if (g_counting) g_live -= std::min(g_live, malloc_usable_size(block) + 8);
  std::free(block);
}
}  // namespace

void* operator new(std::size_t size) { return counted_allocate(size); }
void* operator new[](std::size_t size) { return counted_allocate(size); }
void operator delete(void* block) noexcept { counted_free(block); }
void operator delete[](void* block) noexcept { counted_free(block); }
void operator delete(void* block, std::size_t) noexcept { counted_free(block); }
void operator delete[](void* block, std::size_t) noexcept { counted_free(block); }

namespace {

using Clock = std::chrono::steady_clock;

// Best time of one call, repeating for at least `min_seconds` (and 3 runs).
template <class F>
double best_seconds(double min_seconds, F&& run) {
  double best = 1e300;
  double total = 0;
  int runs = 0;
  while (runs < 3 || total < min_seconds) {
    const auto start = Clock::now();
    run();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    best = std::min(best, elapsed);
    total += elapsed;
    ++runs;
  }
  return best;
}

struct Candidate {
  const char* name;
  std::function<void()> run;
  double best = 1e300;
};

// Runs every candidate once per round, for at least `min_seconds` in all
// per candidate (and 3 rounds); keeps each one's best time. The order is
// shuffled each round, so that no candidate always runs right after the same
// other (whose freed memory and evicted caches it would inherit).
void interleaved(std::vector<Candidate>& candidates, double min_seconds) {
  double total = 0;
  std::vector<std::size_t> order(candidates.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::mt19937 shuffler(7);
  for (int round = 0; round < 3 || total < min_seconds * static_cast<double>(candidates.size()); ++round) {
    std::shuffle(order.begin(), order.end(), shuffler);
    for (const std::size_t i : order) {
      Candidate& candidate = candidates[i];
      const auto start = Clock::now();
      candidate.run();
      const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
      candidate.best = std::min(candidate.best, elapsed);
      total += elapsed;
    }
  }
}

void must(bool ok) {
  if (!ok) std::abort();
}

// A provider's metadata text as discovery receives it (about 300 bytes).
constexpr std::string_view kProviderText =
    R"({"protocol": "korvane.python_bundle", "protocol_version": "2.0.0", "machine_id": "stack", )"
    R"("distribution": "korvane-stack", "version": "1.4.2", "module": "korvane_stack.bundle", )"
    R"("prepare_function": "prepare_run", "execute_function": "execute_prepared", "capabilities": )"
    R"(["file_recorder", "python_sinks"], "description": "A stack machine"})";

int small_text(double min_seconds) {
  const std::string_view text = kProviderText;
  constexpr int kCalls = 1000;
  std::vector<Candidate> candidates = {
      {"module",
       [&] {
         for (int i = 0; i < kCalls; ++i) must(korvane::parse_json_text(text).has_value());
       }},
  };
  interleaved(candidates, min_seconds);
  std::printf("{\"bytes\":%zu", text.size());
  for (const auto& candidate : candidates)
    std::printf(",\"%s_ns\":%.1f", candidate.name, candidate.best / kCalls * 1e9);
  std::printf("}\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string_view(argv[1]) == "--small") return small_text(std::atof(argv[2]));
  if (argc < 2) {
    std::cerr << "usage: bench_json FILE [MIN_SECONDS]\n";
    return 2;
  }
  const double min_seconds = argc > 2 ? std::atof(argv[2]) : 1.0;
  std::ifstream in(argv[1], std::ios::binary);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  const std::string text = buffer.str();
  const double megabytes = static_cast<double>(text.size()) / 1e6;

  // Memory: the finished tree, and the peak while parsing (scratch included).
  // Spans of chunks are mapped rather than taken from the heap: counted from
  // the allocator's own tally, the finished tree's and the peak's alike.
  g_live = g_peak = 0;
  g_counting = true;
  const std::size_t spans_before = korvane::json_detail::spans_in_use();
  korvane::json_detail::take_spans_peak();
  auto tree = korvane::parse_json_text(text);
  const std::size_t tree_bytes = g_live + korvane::json_detail::spans_in_use() - spans_before;
  const std::size_t parse_peak_bytes = g_peak + korvane::json_detail::take_spans_peak() - spans_before;
  g_counting = false;
  if (!tree.has_value()) {
    std::cerr << "parse failed: " << tree.error().to_string() << "\n";
    return 1;
  }

  // Every timing includes freeing the tree or document built.
  std::vector<Candidate> candidates = {
      {"parse", [&] { must(korvane::parse_json_text(text).has_value()); }},
      {"check_result", [&] { must(korvane::parse_execution_result(text).has_value()); }},
      {"check_depth", [&] { must(korvane::parse_json_text(text, korvane::kExecutionResultDepth).has_value()); }},
  };
#ifndef KORVANE_BENCH_NO_ANCHORS
  simdjson::dom::parser simd_parser;
  const simdjson::padded_string padded(text);
  candidates.insert(candidates.end(), {
                                          {"rapidjson_dom",
                                           [&] {
                                             rapidjson::Document document;
                                             document.Parse(text.data(), text.size());
                                             must(!document.HasParseError());
                                           }},
                                          {"rapidjson_dom_full_precision",
                                           [&] {
                                             rapidjson::Document document;
                                             document.Parse<rapidjson::kParseFullPrecisionFlag>(text.data(),
                                                                                                text.size());
                                             must(!document.HasParseError());
                                           }},
                                          {"simdjson_dom",
                                           [&] {
                                             simdjson::dom::element element;
                                             must(simd_parser.parse(padded).get(element) == simdjson::SUCCESS);
                                           }},
                                          {"yyjson",
                                           [&] {
                                             yyjson_doc* document = yyjson_read(text.data(), text.size(), 0);
                                             must(document != nullptr);
                                             yyjson_doc_free(document);
                                           }},
                                      });
#endif
  if (argc > 3) {
    std::erase_if(candidates, [&](const Candidate& c) { return std::string_view(c.name) != argv[3]; });
    if (candidates.empty()) {
      std::cerr << "no candidate named " << argv[3] << "\n";
      return 2;
    }
  }
  interleaved(candidates, min_seconds);

  std::size_t written_size = 0;
  const double write_s = argc > 3 ? 0.0 : best_seconds(min_seconds, [&] {
    const std::string out = korvane::write_json_text(*tree);
    written_size = out.size();
  });

  std::printf("{\"bytes\":%zu,\"write_mb_s\":%.1f,\"written_bytes\":%zu,\"tree_bytes\":%zu,\"parse_peak_bytes\":%zu",
              text.size(), megabytes / write_s, written_size, tree_bytes, parse_peak_bytes);
  for (const auto& candidate : candidates) std::printf(",\"%s_mb_s\":%.1f", candidate.name, megabytes / candidate.best);
  std::printf("}\n");
  return 0;
}
