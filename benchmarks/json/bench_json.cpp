// Measures, for one JSON document: korvane's parse and write throughput, the
// memory its value tree holds against the text size, and RapidJSON's DOM
// parse throughput on the same bytes. Prints one JSON object on stdout.
//
//   bench_json FILE [MIN_SECONDS]
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include <rapidjson/document.h>

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

}  // namespace

int main(int argc, char** argv) {
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
  g_live = g_peak = 0;
  g_counting = true;
  auto tree = korvane::parse_json_text(text);
  const std::size_t tree_bytes = g_live;
  const std::size_t parse_peak_bytes = g_peak;
  g_counting = false;
  if (!tree.has_value()) {
    std::cerr << "parse failed: " << tree.error().to_string() << "\n";
    return 1;
  }

  // Both parsers' timings include freeing the tree they built.
  const double parse_s = best_seconds(min_seconds, [&] {
    auto parsed = korvane::parse_json_text(text);
    if (!parsed.has_value()) std::abort();
  });
  std::size_t written_size = 0;
  const double write_s = best_seconds(min_seconds, [&] {
    const std::string out = korvane::write_json_text(*tree);
    written_size = out.size();
  });

  const double rapid_s = best_seconds(min_seconds, [&] {
    rapidjson::Document document;
    document.Parse(text.data(), text.size());
    if (document.HasParseError()) std::abort();
  });
  const double rapid_full_s = best_seconds(min_seconds, [&] {
    rapidjson::Document document;
    document.Parse<rapidjson::kParseFullPrecisionFlag>(text.data(), text.size());
    if (document.HasParseError()) std::abort();
  });

  std::printf(
      "{\"bytes\":%zu,\"parse_mb_s\":%.1f,\"write_mb_s\":%.1f,"
      "\"written_bytes\":%zu,\"rapidjson_dom_mb_s\":%.1f,\"rapidjson_dom_full_precision_mb_s\":%.1f,"
      "\"tree_bytes\":%zu,\"parse_peak_bytes\":%zu}\n",
      text.size(), megabytes / parse_s, megabytes / write_s, written_size,
      megabytes / rapid_s, megabytes / rapid_full_s, tree_bytes, parse_peak_bytes);
  return 0;
}
