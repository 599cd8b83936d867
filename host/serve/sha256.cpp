// SHA-256 as FIPS 180-4 gives it, in plain C++.
#include "sha256.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define TXSCREEN_SHA_INSTRUCTIONS 1
#endif

namespace txhost {
namespace {

constexpr uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t Rotate(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void Compress(uint32_t state[8], const unsigned char block[64]) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i) {
    w[i] = uint32_t{block[4 * i]} << 24 | uint32_t{block[4 * i + 1]} << 16 |
           uint32_t{block[4 * i + 2]} << 8 | block[4 * i + 3];
  }
  for (int i = 16; i < 64; ++i) {
    uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
    uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  // The eight working words by name, so that the compiler keeps them in registers.
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int i = 0; i < 64; ++i) {
    const uint32_t s1 = Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25);
    const uint32_t choice = (e & f) ^ (~e & g);
    const uint32_t t1 = h + s1 + choice + kRound[i] + w[i];
    const uint32_t s0 = Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22);
    const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + s0 + majority;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
  state[5] += f;
  state[6] += g;
  state[7] += h;
}

void CompressPortable(uint32_t state[8], const unsigned char* blocks, size_t count) {
  for (size_t b = 0; b < count; ++b) Compress(state, blocks + 64 * b);
}

#if TXSCREEN_SHA_INSTRUCTIONS
bool HasShaInstructions() {
  unsigned eax, ebx, ecx, edx;
  if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
  const bool ssse3 = ecx & (1u << 9), sse41 = ecx & (1u << 19);
  if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
  return ssse3 && sse41 && (ebx & (1u << 29));
}

// The same compression on the SHA extensions: the state kept as ABEF and CDGH, four rounds of
// the message schedule at a time.
__attribute__((target("sha,sse4.1,ssse3"))) void CompressWithShaInstructions(
    uint32_t state[8], const unsigned char* blocks, size_t count) {
  const __m128i big_endian = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i cdab = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
  __m128i efgh =
      _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
  for (size_t b = 0; b < count; ++b) {
    const unsigned char* block = blocks + 64 * b;
    const __m128i abef_before = abef, cdgh_before = cdgh;
    __m128i w[16];
    for (int t = 0; t < 4; ++t) {
      w[t] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * t)),
                              big_endian);
    }
    for (int t = 4; t < 16; ++t) {
      w[t] = _mm_sha256msg2_epu32(
          _mm_add_epi32(_mm_sha256msg1_epu32(w[t - 4], w[t - 3]),
                        _mm_alignr_epi8(w[t - 1], w[t - 2], 4)),
          w[t - 1]);
    }
    for (int t = 0; t < 16; ++t) {
      const __m128i message = _mm_add_epi32(
          w[t], _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRound + 4 * t)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(message, 0x0E));
    }
    abef = _mm_add_epi32(abef, abef_before);
    cdgh = _mm_add_epi32(cdgh, cdgh_before);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}
#endif

using CompressBlocks = void (*)(uint32_t state[8], const unsigned char* blocks, size_t count);

CompressBlocks Fastest() {
#if TXSCREEN_SHA_INSTRUCTIONS
  static const CompressBlocks fastest =
      HasShaInstructions() ? &CompressWithShaInstructions : &CompressPortable;
  return fastest;
#else
  return &CompressPortable;
#endif
}

}  // namespace

std::string Sha256Hex(std::string_view bytes, Sha256Way way) {
  const CompressBlocks compress = way == Sha256Way::kFastest ? Fastest() : &CompressPortable;
  uint32_t state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                       0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  const size_t at = bytes.size() / 64 * 64;
  compress(state, reinterpret_cast<const unsigned char*>(bytes.data()), at / 64);
  // The tail, a 1 bit, zeros, and the length in bits: one block or two.
  unsigned char tail[128] = {};
  const size_t rest = bytes.size() - at;
  std::memcpy(tail, bytes.data() + at, rest);
  tail[rest] = 0x80;
  const size_t blocks = rest + 9 > 64 ? 2 : 1;
  const uint64_t bits = uint64_t{bytes.size()} * 8;
  for (int i = 0; i < 8; ++i) tail[blocks * 64 - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
  compress(state, tail, blocks);
  static const char kHex[] = "0123456789abcdef";
  std::string hex(64, '0');
  for (size_t i = 0; i < 64; ++i) hex[i] = kHex[(state[i / 8] >> (28 - 4 * (i % 8))) & 0xf];
  return hex;
}

}  // namespace txhost
