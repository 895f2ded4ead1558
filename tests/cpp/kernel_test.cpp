// Checks of the scan kernels: every set this processor runs gives the scalar
// reference's bits for every row, over many lengths and awkward values, and
// reads nothing outside the query, the rows and the row pointers; the scalar
// kernels give the metrics' in-order sums; and TARNWICK_SCAN_KERNELS settings
// select what they name or are refused.
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "index/metrics.h"
#include "index/scan_kernels.h"
#include "check.h"

using namespace tarnwick;

namespace {

void check(bool ok, const std::string& what) {
  if (ok) {
    ++tarnwick_test::passed;
  } else if (++tarnwick_test::failed <= 20) {
    std::printf("FAILED %s\n", what.c_str());
  }
}

// Memory whose every block of floats is fenced by unreadable pages, so that a
// kernel reading a byte before or after what it was given faults.
class FencedArena {
 public:
  // `blocks` blocks of up to `floats` floats each.
  FencedArena(size_t blocks, size_t floats) {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    block_pages_ = std::max<size_t>(1, (floats * sizeof(float) + page_ - 1) / page_);
    size_ = (blocks * (block_pages_ + 1) + 1) * page_;
    void* base = mmap(nullptr, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) std::abort();
    base_ = static_cast<char*>(base);
    for (size_t b = 0; b < blocks; ++b) {
      if (mprotect(block_start(b), block_pages_ * page_, PROT_READ | PROT_WRITE) != 0) std::abort();
    }
  }
  ~FencedArena() { munmap(base_, size_); }
  FencedArena(const FencedArena&) = delete;
  FencedArena& operator=(const FencedArena&) = delete;

  // `count` elements of block b that end at the fence after it (at_end) or
  // start at the fence before it.
  template <typename T>
  T* place(size_t b, size_t count, bool at_end) {
    char* start = block_start(b);
    if (at_end) start += block_pages_ * page_ - count * sizeof(T);
    return reinterpret_cast<T*>(start);
  }

 private:
  char* block_start(size_t b) { return base_ + page_ + b * (block_pages_ + 1) * page_; }

  char* base_;
  size_t page_, block_pages_, size_;
};

// The NaN this processor makes itself: the only NaN in the inputs, so that
// which operand's NaN an instruction passes on cannot show in the bits.
float processor_nan() {
  volatile float inf = std::numeric_limits<float>::infinity();
  return inf - inf;
}

enum class Values { Plain, Magnitudes, Special };

// A value for the given mix: plain normals; normals scaled over sixty orders
// of magnitude, so that any change in the order of the sums shows; or those
// mixed with zeros of both signs, infinities, NaN, subnormals and the largest
// and smallest normals.
float draw(std::mt19937& gen, Values values) {
  std::normal_distribution<float> normal;
  std::uniform_int_distribution<int> exponent(-30, 30);
  float x = normal(gen);
  if (values == Values::Plain) return x;
  x = std::ldexp(x, exponent(gen) * 3);
  if (values == Values::Magnitudes || gen() % 4 != 0) return x;
  constexpr float SPECIAL[] = {0.0f,
                               -0.0f,
                               std::numeric_limits<float>::infinity(),
                               -std::numeric_limits<float>::infinity(),
                               std::numeric_limits<float>::denorm_min(),
                               -3.5e-42f,
                               1e-39f,
                               std::numeric_limits<float>::min(),
                               std::numeric_limits<float>::max(),
                               -std::numeric_limits<float>::max(),
                               1.5e19f};
  size_t pick = gen() % (std::size(SPECIAL) + 1);
  return pick == std::size(SPECIAL) ? processor_nan() : SPECIAL[pick];
}

struct KernelCase {
  const char* name;
  size_t rows;
  BlockKernel ScanKernels::*kernel;
  bool squared_distance;
  StreamKernel ScanKernels::*stream = nullptr;  // instead of kernel
};

// Where the streaming kernels are told the next rows lie: nowhere (0), in the
// unreadable page after a row, and far outside anything mapped. A request
// never faults, and never changes a result.
constexpr size_t STREAM_AHEAD[] = {0, 4096, size_t{1} << 40};

constexpr KernelCase KERNEL_CASES[] = {
    {"dot", SCAN_BLOCK, &ScanKernels::dot, false},
    {"squared_distance", SCAN_BLOCK, &ScanKernels::squared_distance, true},
    {"small_dot", SMALL_SCAN_BLOCK, &ScanKernels::small_dot, false},
    {"small_squared_distance", SMALL_SCAN_BLOCK, &ScanKernels::small_squared_distance, true},
    {"tiny_dot", TINY_SCAN_BLOCK, &ScanKernels::tiny_dot, false},
    {"tiny_squared_distance", TINY_SCAN_BLOCK, &ScanKernels::tiny_squared_distance, true},
    {"stream_dot", SCAN_BLOCK, nullptr, false, &ScanKernels::stream_dot},
    {"stream_squared_distance", SCAN_BLOCK, nullptr, true, &ScanKernels::stream_squared_distance},
};

constexpr size_t POOL_ROWS = 24;  // fewer than a block, so that blocks repeat rows
constexpr size_t CANARY_FLOATS = 8;

void test_every_set_matches_the_scalar_bits() {
  std::vector<const ScanKernels*> sets = runnable_scan_kernels();
  std::printf("kernel sets run here:");
  for (const ScanKernels* set : sets) std::printf(" %s", set->name);
  std::printf("\n");

  std::vector<size_t> dims;
  for (size_t d = 0; d <= 300; ++d) dims.push_back(d);
  for (size_t d : {383, 384, 385, 511, 512, 513, 767, 1000, 1023, 1024}) dims.push_back(d);

  std::mt19937 gen(20260);
  for (size_t dim : dims) {
    // Blocks 0..POOL_ROWS-1 hold the rows, then the query, then the pointers.
    FencedArena arena(POOL_ROWS + 2, std::max(dim, SCAN_BLOCK * sizeof(void*) / sizeof(float)));
    std::vector<float*> pool;
    for (size_t r = 0; r < POOL_ROWS; ++r) pool.push_back(arena.place<float>(r, dim, r % 2 == 0));
    float* q = arena.place<float>(POOL_ROWS, dim, dim % 2 == 0);
    for (Values values : {Values::Plain, Values::Magnitudes, Values::Special}) {
      for (float* row : pool) {
        for (size_t i = 0; i < dim; ++i) row[i] = draw(gen, values);
      }
      for (size_t i = 0; i < dim; ++i) q[i] = draw(gen, values);
      for (const KernelCase& kernel : KERNEL_CASES) {
        const float** rows = arena.place<const float*>(POOL_ROWS + 1, kernel.rows, true);
        for (int trial = 0; trial < 3; ++trial) {
          // Random rows (with repeats); then one row throughout, as a block
          // padded from a single row; then the query among the rows.
          for (size_t r = 0; r < kernel.rows; ++r) {
            rows[r] = trial == 1 ? pool[0] : pool[gen() % POOL_ROWS];
          }
          if (trial == 2) rows[gen() % kernel.rows] = q;

          std::vector<float> expected(kernel.rows);
          for (size_t r = 0; r < kernel.rows; ++r) {
            expected[r] = kernel.squared_distance ? squared_distance_sum(q, rows[r], dim)
                                                  : dot_sum(q, rows[r], dim);
          }
          for (const ScanKernels* set : sets) {
            std::vector<float> out(kernel.rows + CANARY_FLOATS, 7.0f);
            if (kernel.stream != nullptr) {
              (set->*kernel.stream)(q, rows, dim, out.data(), STREAM_AHEAD[trial]);
            } else {
              (set->*kernel.kernel)(q, rows, dim, out.data());
            }
            bool same = std::memcmp(out.data(), expected.data(), kernel.rows * sizeof(float)) == 0;
            bool canary = true;
            for (size_t i = kernel.rows; i < out.size(); ++i) canary = canary && out[i] == 7.0f;
            std::string where = std::string(set->name) + " " + kernel.name + " dim " +
                                std::to_string(dim) + " values " +
                                std::to_string(static_cast<int>(values)) + " trial " +
                                std::to_string(trial);
            check(same, where + ": bits differ from the in-order sums");
            check(canary, where + ": wrote past its block");
          }
        }
      }
    }
  }
}

void test_settings() {
  std::vector<const ScanKernels*> sets = runnable_scan_kernels();
  check(!sets.empty() && sets.front() == &scalar_scan_kernels(), "the reference runs first");
  for (const char* setting : {static_cast<const char*>(nullptr), "auto"}) {
    ScanKernelChoice choice = choose_scan_kernels(setting);
    check(choice.kernels == sets.back() && choice.failure.empty(), "auto picks the last set");
  }
  for (std::string_view name : SCAN_KERNEL_SETTINGS) {
    if (name == "auto") continue;
    ScanKernelChoice choice = choose_scan_kernels(std::string(name).c_str());
    bool runs = false;
    for (const ScanKernels* set : sets) runs = runs || set->name == name;
    if (runs) {
      check(choice.kernels != nullptr && choice.kernels->name == name && choice.failure.empty(),
            std::string(name) + " selects its own set");
    } else {
      check(choice.kernels == nullptr &&
                choice.failure == "TARNWICK_SCAN_KERNELS='" + std::string(name) +
                                      "' names kernels this processor cannot run; it runs 'auto', "
                                      "'scalar'" + (sets.size() > 1 ? ", 'avx2'" : ""),
            std::string(name) + " is refused on this processor");
    }
  }
  const std::pair<const char*, const char*> REFUSED[] = {
      {"", "''"},           {"AVX2", "'AVX2'"},         {"avx2 ", "'avx2 '"},
      {"sse", "'sse'"},     {"avx512f", "'avx512f'"},   {"scalar\n", "'scalar\\x0a'"},
      {"\xff", "'\\xff'"},  {"a\\b", "'a\\x5cb'"},
  };
  for (const auto& [setting, shown] : REFUSED) {
    ScanKernelChoice choice = choose_scan_kernels(setting);
    check(choice.kernels == nullptr &&
              choice.failure ==
                  std::string("TARNWICK_SCAN_KERNELS must be one of 'auto', 'scalar', 'avx2', "
                              "'avx512', not ") +
                      shown,
          std::string("refused: ") + shown + " -> " + choice.failure);
  }
}

}  // namespace

int main() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // what was found survives a fault
  test_every_set_matches_the_scalar_bits();
  test_settings();
  return tarnwick_test::finish_checks();
}
