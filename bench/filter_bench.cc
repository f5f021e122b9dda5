// The filter's own time, without any I/O: each kernel this processor runs
// filters the same text in memory (CR LF lines for dropping CRs, LF lines for
// adding them), fastest of several runs; and the change scan's, on text
// already in form, which it reads to the end. Prints the kernel crv itself
// picks.
// As in crv, where each block has just been read into a cache-sized buffer,
// the input comes from cache: a 2 MiB text fed over and over.
//
//     filter_bench [MiB (256)] [runs (5)]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "engine/change_scan.h"
#include "engine/filter_kernel.h"
#include "engine/line_end_filter.h"

namespace {

class NullSink : public crv::ByteSink {
 public:
  bool Write(const char*, size_t size) override {
    bytes += size;
    return true;
  }
  size_t bytes = 0;
};

// Words of 3 to 8 letters, 3 to 7 to a line, as bench.py writes them.
std::string MakeText(size_t size, const char* line_end) {
  std::mt19937 rng(1);
  std::string text;
  text.reserve(size + 64);
  while (text.size() < size) {
    for (int w = 3 + rng() % 5; w > 0; --w) text.append(3 + rng() % 6, 'a' + rng() % 26).append(w > 1 ? " " : "");
    text += line_end;
  }
  return text;
}

double FastestMs(const crv::FilterKernel& kernel, const std::string& text, bool add_cr, int runs,
                 size_t total) {
  double best = 1e30;
  for (int r = 0; r < runs; ++r) {
    NullSink sink;
    auto start = std::chrono::steady_clock::now();
    crv::LineEndFilter filter(add_cr, &sink, kernel);
    // Fed in the copy's read blocks, as crv does.
    for (size_t done = 0; done < total; done += text.size()) {
      for (size_t pos = 0; pos < text.size(); pos += 128 * 1024) {
        filter.Feed(text.data() + pos, std::min<size_t>(128 * 1024, text.size() - pos));
      }
    }
    filter.Finish();
    std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

double ScanFastestMs(const crv::FilterKernel& kernel, const std::string& text, bool add_cr, int runs,
                     size_t total) {
  double best = 1e30;
  for (int r = 0; r < runs; ++r) {
    auto start = std::chrono::steady_clock::now();
    crv::ChangeScan scan(add_cr, kernel);
    for (size_t done = 0; done < total; done += text.size()) {
      for (size_t pos = 0; pos < text.size(); pos += 128 * 1024) {
        scan.Feed(text.data() + pos, std::min<size_t>(128 * 1024, text.size() - pos));
      }
    }
    if (scan.Finish()) std::printf("the change scan found a change in text in form\n");
    std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  std::string dos = MakeText(2 << 20, "\r\n"), unix_text = MakeText(2 << 20, "\n");
  std::printf("crv picks kernel: %s\n", crv::BestFilterKernel().name);
  for (const crv::FilterKernelChoice& k : crv::FilterKernels()) {
    if (!k.runs) {
      std::printf("  %-12s not run: this processor lacks %s\n", k.kernel->name, k.needs);
      continue;
    }
    std::printf("  %-12s drop CRs %7.1f ms   add CRs %7.1f ms   scan -d %6.1f ms   scan -c %6.1f ms"
                "   (%zu MiB, fastest of %d)\n",
                k.kernel->name, FastestMs(*k.kernel, dos, false, runs, mib << 20),
                FastestMs(*k.kernel, unix_text, true, runs, mib << 20),
                ScanFastestMs(*k.kernel, unix_text, false, runs, mib << 20),
                ScanFastestMs(*k.kernel, dos, true, runs, mib << 20), mib, runs);
  }
  return 0;
}
