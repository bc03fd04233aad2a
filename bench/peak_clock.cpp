// The core's real multiply-add issue rate, against which resize figures are
// judged. A virtual machine's /proc/cpuinfo reports the nominal clock (2.45
// GHz on the development machine) while its cores may run faster under load,
// so a share of peak at the reported clock can overstate how close a kernel
// comes to the hardware.
//
//   g++ -O2 -mavx2 bench/peak_clock.cpp -o /tmp/peak_clock && /tmp/peak_clock 2.45
//
// Seven chains of 8-lane multiplies and seven of 8-lane adds on registers
// only, more than the three-cycle latency needs to keep two multipliers and
// two adders busy: the separate-operation peak of 16 multiply-adds per
// cycle. The rate per time-stamp tick, times the tick rate (the argument, in
// GHz), over 16 is the core's clock.
//
// Then the shape of the resize's vertical inner loop alone: per tap, one
// broadcast weight and six 8-float vectors of a tile that stays in the
// first-level cache, multiplied and added into six sums (8 output rows of
// 29 taps, as in a 1920x1080 -> 224x224 shrink). Its rate against the first
// is the most the kernel's arithmetic could reach with this schedule.
#include <immintrin.h>
#include <x86intrin.h>

#include <cstdio>
#include <cstdlib>

namespace {

double tap_loop_per_tick() {
  alignas(64) static float tile[70 * 48];
  alignas(64) static float weights[8][32];
  alignas(64) static float sums[8 * 48];
  for (int i = 0; i < 70 * 48; ++i) tile[i] = static_cast<float>(i % 255);
  for (int j = 0; j < 8; ++j)
    for (int k = 0; k < 32; ++k) weights[j][k] = 0.01f * (k + 1);
  const int taps = 29, reps = 100'000;
  unsigned long long best = ~0ull;
  for (int round = 0; round < 5; ++round) {
    const unsigned long long t0 = __rdtsc();
    for (int r = 0; r < reps; ++r) {
      for (int j = 0; j < 8; ++j) {
        const float* p = tile + j * 5 * 48;
        __m256 w = _mm256_set1_ps(weights[j][0]);
        __m256 s0 = _mm256_mul_ps(w, _mm256_load_ps(p)), s1 = _mm256_mul_ps(w, _mm256_load_ps(p + 8)),
               s2 = _mm256_mul_ps(w, _mm256_load_ps(p + 16)), s3 = _mm256_mul_ps(w, _mm256_load_ps(p + 24)),
               s4 = _mm256_mul_ps(w, _mm256_load_ps(p + 32)), s5 = _mm256_mul_ps(w, _mm256_load_ps(p + 40));
        for (int k = 1; k < taps; ++k) {
          p += 48;
          w = _mm256_set1_ps(weights[j][k]);
          s0 = _mm256_add_ps(s0, _mm256_mul_ps(w, _mm256_load_ps(p)));
          s1 = _mm256_add_ps(s1, _mm256_mul_ps(w, _mm256_load_ps(p + 8)));
          s2 = _mm256_add_ps(s2, _mm256_mul_ps(w, _mm256_load_ps(p + 16)));
          s3 = _mm256_add_ps(s3, _mm256_mul_ps(w, _mm256_load_ps(p + 24)));
          s4 = _mm256_add_ps(s4, _mm256_mul_ps(w, _mm256_load_ps(p + 32)));
          s5 = _mm256_add_ps(s5, _mm256_mul_ps(w, _mm256_load_ps(p + 40)));
        }
        float* out = sums + j * 48;
        _mm256_store_ps(out, s0), _mm256_store_ps(out + 8, s1), _mm256_store_ps(out + 16, s2);
        _mm256_store_ps(out + 24, s3), _mm256_store_ps(out + 32, s4), _mm256_store_ps(out + 40, s5);
      }
      __asm__ volatile("" ::: "memory");
    }
    const unsigned long long t = __rdtsc() - t0;
    if (t < best) best = t;
  }
  return 48.0 * taps * 8 * reps / best;
}

}  // namespace

int main(int argc, char** argv) {
  const double tsc_ghz = argc > 1 ? std::atof(argv[1]) : 0.0;
  const __m256 y = _mm256_set1_ps(0.99999994f);
  __m256 m0 = _mm256_set1_ps(1), m1 = _mm256_set1_ps(2), m2 = _mm256_set1_ps(3), m3 = _mm256_set1_ps(4),
         m4 = _mm256_set1_ps(5), m5 = _mm256_set1_ps(6), m6 = _mm256_set1_ps(7);
  __m256 a0 = m0, a1 = m1, a2 = m2, a3 = m3, a4 = m4, a5 = m5, a6 = m6;
  const long n = 20'000'000;
  unsigned long long best = ~0ull;
  for (int round = 0; round < 5; ++round) {
    const unsigned long long t0 = __rdtsc();
    for (long k = 0; k < n; ++k) {
      m0 = _mm256_mul_ps(m0, y); a0 = _mm256_add_ps(a0, y);
      m1 = _mm256_mul_ps(m1, y); a1 = _mm256_add_ps(a1, y);
      m2 = _mm256_mul_ps(m2, y); a2 = _mm256_add_ps(a2, y);
      m3 = _mm256_mul_ps(m3, y); a3 = _mm256_add_ps(a3, y);
      m4 = _mm256_mul_ps(m4, y); a4 = _mm256_add_ps(a4, y);
      m5 = _mm256_mul_ps(m5, y); a5 = _mm256_add_ps(a5, y);
      m6 = _mm256_mul_ps(m6, y); a6 = _mm256_add_ps(a6, y);
      // Opaque to the compiler: no chain may be merged with another or hoisted.
      __asm__ volatile("" : "+x"(m0), "+x"(m1), "+x"(m2), "+x"(m3), "+x"(m4), "+x"(m5), "+x"(m6));
      __asm__ volatile("" : "+x"(a0), "+x"(a1), "+x"(a2), "+x"(a3), "+x"(a4), "+x"(a5), "+x"(a6));
    }
    const unsigned long long t = __rdtsc() - t0;
    if (t < best) best = t;
  }
  const __m256 all = _mm256_add_ps(
      _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(m0, m1), _mm256_add_ps(m2, m3)),
                    _mm256_add_ps(_mm256_add_ps(m4, m5), m6)),
      _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(a0, a1), _mm256_add_ps(a2, a3)),
                    _mm256_add_ps(_mm256_add_ps(a4, a5), a6)));
  const double per_tick = 7.0 * 8 * n / best;  // multiply-add pairs per tick
  std::printf("%.2f multiply-adds per time-stamp tick", per_tick);
  if (tsc_ghz > 0) std::printf(": the core runs at about %.2f GHz", per_tick / 16 * tsc_ghz);
  std::printf(" (checksum %g)\n", static_cast<double>(all[0]));
  const double loop = tap_loop_per_tick();
  std::printf("%.2f multiply-adds per tick in the vertical inner loop alone: %.0f%% of that peak\n", loop,
              100 * loop / per_tick);
}
