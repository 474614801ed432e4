#include "platform/sha256.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

#include "platform/errors.h"
#include "platform/file_blocks.h"

namespace {

const uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t rotate_right(uint32_t value, int bits) { return value >> bits | value << (32 - bits); }

uint32_t big_endian_word(const uint8_t* bytes) {
  return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
}

// The portable rounds, one block after another.
void compress_portable(uint32_t state[8], const uint8_t* blocks, size_t count) {
  for (; count > 0; --count, blocks += 64) {
    uint32_t schedule[64];
    for (int i = 0; i < 16; ++i) schedule[i] = big_endian_word(blocks + 4 * i);
    for (int i = 16; i < 64; ++i) {
      const uint32_t s0 = rotate_right(schedule[i - 15], 7) ^ rotate_right(schedule[i - 15], 18) ^
                          schedule[i - 15] >> 3;
      const uint32_t s1 = rotate_right(schedule[i - 2], 17) ^ rotate_right(schedule[i - 2], 19) ^
                          schedule[i - 2] >> 10;
      schedule[i] = schedule[i - 16] + s0 + schedule[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
      const uint32_t sum1 = rotate_right(e, 6) ^ rotate_right(e, 11) ^ rotate_right(e, 25);
      const uint32_t choice = (e & f) ^ (~e & g);
      const uint32_t first = h + sum1 + choice + kRoundConstants[i] + schedule[i];
      const uint32_t sum0 = rotate_right(a, 2) ^ rotate_right(a, 13) ^ rotate_right(a, 22);
      const uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
      h = g;
      g = f;
      f = e;
      e = d + first;
      d = c;
      c = b;
      b = a;
      a = first + sum0 + majority;
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
}

#if defined(__x86_64__)
// The same rounds with the processor's SHA extensions. The instructions
// keep the state as the pairs ABEF and CDGH and take the message four
// words at a time, two rounds per instruction.
__attribute__((target("sha,sse4.1,ssse3"))) void compress_with_sha_instructions(uint32_t state[8],
                                                                                const uint8_t* blocks,
                                                                                size_t count) {
  const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i cdab = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
  __m128i cdgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
  __m128i abef = _mm_alignr_epi8(cdab, cdgh, 8);
  cdgh = _mm_blend_epi16(cdgh, cdab, 0xF0);
  for (; count > 0; --count, blocks += 64) {
    const __m128i abefBefore = abef, cdghBefore = cdgh;
    __m128i words[16];
#pragma GCC unroll 16
    for (int group = 0; group < 16; ++group) {
      if (group < 4) {
        words[group] = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16 * group)), byteSwap);
      } else {
        const __m128i partial = _mm_add_epi32(_mm_sha256msg1_epu32(words[group - 4], words[group - 3]),
                                              _mm_alignr_epi8(words[group - 1], words[group - 2], 4));
        words[group] = _mm_sha256msg2_epu32(partial, words[group - 1]);
      }
      __m128i message = _mm_add_epi32(
          words[group], _mm_loadu_si128(reinterpret_cast<const __m128i*>(kRoundConstants + 4 * group)));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
      message = _mm_shuffle_epi32(message, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, message);
    }
    abef = _mm_add_epi32(abef, abefBefore);
    cdgh = _mm_add_epi32(cdgh, cdghBefore);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}
#endif

}  // namespace

bool Sha256::processorHasShaInstructions() {
#if defined(__x86_64__)
  unsigned int a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
  const bool ssse3 = (c & bit_SSSE3) != 0, sse41 = (c & bit_SSE4_1) != 0;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
  return ssse3 && sse41 && (b & bit_SHA) != 0;
#else
  return false;
#endif
}

Sha256::Sha256(Rounds rounds)
    : compress_(compress_portable),
      state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab,
             0x5be0cd19} {
#if defined(__x86_64__)
  static const bool hasInstructions = processorHasShaInstructions();
  if (rounds == Rounds::kFastest && hasInstructions) compress_ = compress_with_sha_instructions;
#else
  (void)rounds;
#endif
}

void Sha256::update(const void* data, size_t size) {
  const uint8_t* bytes = static_cast<const uint8_t*>(data);
  totalBytes_ += size;
  if (buffered_ > 0) {
    const size_t taken = std::min(size, sizeof buffer_ - buffered_);
    std::memcpy(buffer_ + buffered_, bytes, taken);
    buffered_ += taken;
    bytes += taken;
    size -= taken;
    if (buffered_ < sizeof buffer_) return;
    compress_(state_, buffer_, 1);
    buffered_ = 0;
  }
  // Whole blocks straight from the caller's bytes.
  const size_t wholeBlocks = size / sizeof buffer_;
  if (wholeBlocks > 0) compress_(state_, bytes, wholeBlocks);
  bytes += wholeBlocks * sizeof buffer_;
  size -= wholeBlocks * sizeof buffer_;
  std::memcpy(buffer_, bytes, size);
  buffered_ = size;
}

std::string Sha256::finishHex() {
  const uint64_t totalBits = totalBytes_ * 8;
  const uint8_t marker = 0x80;
  update(&marker, 1);
  const uint8_t zero = 0;
  while (buffered_ != 56) update(&zero, 1);
  uint8_t length[8];
  for (int i = 0; i < 8; ++i) length[i] = uint8_t(totalBits >> (56 - 8 * i));
  update(length, sizeof length);
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (uint32_t word : state_)
    for (int shift = 28; shift >= 0; shift -= 4) hex += kDigits[(word >> shift) & 0xF];
  return hex;
}

uint32_t sha256_of_file(const std::u16string& path, std::string& hex) {
  Sha256 digest;
  const uint32_t result = read_file_blocks(
      path, [&digest](const uint8_t* data, size_t size) { digest.update(data, size); });
  if (result == ERROR_SUCCESS) hex = digest.finishHex();
  return result;
}
