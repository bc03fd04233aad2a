// The per-thread generator behind random crops: wyrand, reduced to a range
// with Lemire's multiply-and-reject, seeded per thread from SipHash-1-3 of a
// monotonic clock reading and the thread's number. No lock and no shared
// state, so random crops scale with the workers.
#include <cstring>

#include "cropping/internal/random.h"
#include "platform/process.h"

namespace batchaugmentor::cropping::internal {
namespace {

__extension__ using u128 = unsigned __int128;  // GCC and Clang on 64-bit targets

struct ThreadRandomState {
  std::uint64_t state = 0;
  bool seeded = false;
};

thread_local ThreadRandomState t_random;

inline std::uint64_t rotl(std::uint64_t v, int s) { return (v << s) | (v >> (64 - s)); }

struct SipState {
  std::uint64_t v0, v1, v2, v3;
  void round() {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  }
};

std::uint64_t load_le(const std::uint8_t* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  return v;
}

std::uint64_t wyrand_step(std::uint64_t* s) {
  *s += 0x2d358dccaa6c78a5ULL;
  u128 product = static_cast<u128>(*s) * (*s ^ 0x8bb84b93962eacc9ULL);
  return static_cast<std::uint64_t>(product >> 64) ^ static_cast<std::uint64_t>(product);
}

void seed(ThreadRandomState* r) {
  platform::MonotonicReading now = platform::monotonic_now();
  std::uint64_t thread = platform::current_thread_number();
  std::uint8_t message[20];
  for (int i = 0; i < 8; ++i) message[i] = static_cast<std::uint8_t>(now.seconds >> (8 * i));
  for (int i = 0; i < 4; ++i) message[8 + i] = static_cast<std::uint8_t>(now.nanoseconds >> (8 * i));
  for (int i = 0; i < 8; ++i) message[12 + i] = static_cast<std::uint8_t>(thread >> (8 * i));
  r->state = siphash13(0, 0, message, sizeof message);
  r->seeded = true;
}

}  // namespace

template <int C, int D>
std::uint64_t siphash(std::uint64_t k0, std::uint64_t k1, const std::uint8_t* data, std::size_t size) {
  SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
             k1 ^ 0x7465646279746573ULL};
  std::size_t full = size / 8 * 8;
  for (std::size_t i = 0; i < full; i += 8) {
    std::uint64_t m = load_le(data + i, 8);
    s.v3 ^= m;
    for (int r = 0; r < C; ++r) s.round();
    s.v0 ^= m;
  }
  std::uint64_t last = (static_cast<std::uint64_t>(size) << 56) | load_le(data + full, size - full);
  s.v3 ^= last;
  for (int r = 0; r < C; ++r) s.round();
  s.v0 ^= last;
  s.v2 ^= 0xff;
  for (int r = 0; r < D; ++r) s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

template std::uint64_t siphash<2, 4>(std::uint64_t, std::uint64_t, const std::uint8_t*, std::size_t);

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, const std::uint8_t* data, std::size_t size) {
  return siphash<1, 3>(k0, k1, data, size);
}

std::uint64_t uniform_index(std::uint64_t low, std::uint64_t high) {
  ThreadRandomState& r = t_random;
  if (!r.seeded) seed(&r);
  const std::uint64_t n = high - low + 1;
  std::uint64_t value = wyrand_step(&r.state);
  if (n == 0) return value;  // the whole 64-bit range
  u128 m = static_cast<u128>(value) * n;
  if (static_cast<std::uint64_t>(m) < n) {
    const std::uint64_t threshold = (0 - n) % n;  // (2^64 - n) mod n
    while (static_cast<std::uint64_t>(m) < threshold) {
      m = static_cast<u128>(wyrand_step(&r.state)) * n;
    }
  }
  return low + static_cast<std::uint64_t>(m >> 64);
}

}  // namespace batchaugmentor::cropping::internal
