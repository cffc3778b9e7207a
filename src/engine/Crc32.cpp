#include "engine/Crc32.h"

#include <zlib.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

uint32_t ZlibCrc32(uint32_t crc, const unsigned char* data, size_t size) {
  return static_cast<uint32_t>(crc32_z(crc, data, size));
}

#if defined(__x86_64__)

#define ZEPHLIN_FOLDING __attribute__((target("pclmul,sse4.1")))

ZEPHLIN_FOLDING __m128i Load16(const unsigned char* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// a times (x^k mod P), for both of its halves, added to b: moves a forward by a fold distance.
ZEPHLIN_FOLDING __m128i Fold(__m128i a, __m128i b, __m128i k) {
  return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(a, k, 0x00), _mm_clmulepi64_si128(a, k, 0x11)), b);
}

// Folding with carry-less multiplication for the bit-reflected polynomial 0xEDB88320. The
// constants, bit-reflected, are x^(512+32) and x^(512-32) mod P to fold across 64 bytes,
// x^(128+32) and x^(128-32) mod P across 16 bytes, x^64 mod P to fold 128 bits to 64, then
// P itself and floor(x^64 / P) for the final Barrett reduction. `crc` and the result
// are the inner register: zlib's value with all bits inverted. `size` is a multiple of 16,
// at least 64.
ZEPHLIN_FOLDING uint32_t FoldCrc32(uint32_t crc, const unsigned char* data, size_t size) {
  const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596, 0x0154442bd4);
  const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009e, 0x01751997d0);
  const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124);
  const __m128i poly = _mm_set_epi64x(0x01f7011641, 0x01db710641);
  const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);

  __m128i x1 = _mm_xor_si128(Load16(data), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x2 = Load16(data + 16);
  __m128i x3 = Load16(data + 32);
  __m128i x4 = Load16(data + 48);
  data += 64;
  size -= 64;
  for (; size >= 64; data += 64, size -= 64) {  // four lanes, 64 bytes apart
    x1 = Fold(x1, Load16(data), k1k2);
    x2 = Fold(x2, Load16(data + 16), k1k2);
    x3 = Fold(x3, Load16(data + 32), k1k2);
    x4 = Fold(x4, Load16(data + 48), k1k2);
  }
  x1 = Fold(x1, x2, k3k4);  // the lanes into one
  x1 = Fold(x1, x3, k3k4);
  x1 = Fold(x1, x4, k3k4);
  for (; size >= 16; data += 16, size -= 16) x1 = Fold(x1, Load16(data), k3k4);

  // 128 bits to 64, then Barrett reduction to 32.
  __m128i x2r = _mm_clmulepi64_si128(x1, k3k4, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2r);
  x2r = _mm_srli_si128(x1, 4);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00), x2r);
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), poly, 0x00);
  x1 = _mm_xor_si128(x1, t);
  return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

#undef ZEPHLIN_FOLDING

bool CanFold() {
  static const bool supported = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  return supported;
}

#endif

}  // namespace

uint32_t Crc32Update(uint32_t crc, const unsigned char* data, size_t size) {
#if defined(__x86_64__)
  if (size >= 64 && CanFold()) {
    const size_t folded = size & ~static_cast<size_t>(15);
    crc = ~FoldCrc32(~crc, data, folded);
    data += folded;
    size -= folded;
  }
#endif
  return size == 0 ? crc : ZlibCrc32(crc, data, size);
}
