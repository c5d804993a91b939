#include "net/Crc32.h"

#include <array>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <immintrin.h>
#define QOR_CRC32_FOLDING 1
#endif

namespace qor {
namespace {

// The standard table for the reflected polynomial 0xEDB88320, and the seven more that take
// eight bytes a step (slicing by eight), built once at compile time.
using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables MakeTables() {
  Tables tables{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1u) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    tables[0][n] = c;
  }
  for (size_t k = 1; k < tables.size(); ++k) {
    for (size_t n = 0; n < 256; ++n) {
      const uint32_t previous = tables[k - 1][n];
      tables[k][n] = (previous >> 8) ^ tables[0][previous & 0xFFu];
    }
  }
  return tables;
}

constexpr Tables kTables = MakeTables();
constexpr const std::array<uint32_t, 256>& kTable = kTables[0];

uint32_t LittleEndian32(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
         uint32_t{bytes[3]} << 24;
}

#ifdef QOR_CRC32_FOLDING
// Carry-less multiplication folds 64 bytes a step into four 128-bit lanes, then into one, and
// a Barrett reduction brings that down to the 32-bit register: about ten times the speed of
// the tables. The constants are powers of x modulo the polynomial, in the reflected domain.
#define QOR_FOLDING_TARGET __attribute__((target("pclmul,sse4.1")))

QOR_FOLDING_TARGET inline __m128i Load(const uint8_t* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// lane times the two halves of by, added to next: one fold step.
QOR_FOLDING_TARGET inline __m128i FoldStep(__m128i lane, __m128i by, __m128i next) {
  const __m128i low = _mm_clmulepi64_si128(lane, by, 0x00);
  const __m128i high = _mm_clmulepi64_si128(lane, by, 0x11);
  return _mm_xor_si128(_mm_xor_si128(high, low), next);
}

// count: a multiple of 16, at least 64.
QOR_FOLDING_TARGET uint32_t Fold(uint32_t state, const uint8_t* p, size_t count) {
  alignas(16) static const uint64_t k1k2[] = {0x0154442bd4, 0x01c6e41596};
  alignas(16) static const uint64_t k3k4[] = {0x01751997d0, 0x00ccaa009e};
  alignas(16) static const uint64_t k5k0[] = {0x0163cd6124, 0x0000000000};
  alignas(16) static const uint64_t poly[] = {0x01db710641, 0x01f7011641};
  __m128i x1 = _mm_xor_si128(Load(p), _mm_cvtsi32_si128(static_cast<int>(state)));
  __m128i x2 = Load(p + 16);
  __m128i x3 = Load(p + 32);
  __m128i x4 = Load(p + 48);
  p += 64;
  count -= 64;
  __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(k1k2));
  for (; count >= 64; p += 64, count -= 64) {
    x1 = FoldStep(x1, k, Load(p));
    x2 = FoldStep(x2, k, Load(p + 16));
    x3 = FoldStep(x3, k, Load(p + 32));
    x4 = FoldStep(x4, k, Load(p + 48));
  }
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(k3k4));
  x1 = FoldStep(x1, k, x2);
  x1 = FoldStep(x1, k, x3);
  x1 = FoldStep(x1, k, x4);
  for (; count >= 16; p += 16, count -= 16) x1 = FoldStep(x1, k, Load(p));

  // 128 bits to 64, then Barrett to 32.
  const __m128i mask = _mm_setr_epi32(~0, 0, ~0, 0);
  x2 = _mm_clmulepi64_si128(x1, k, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
  k = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(k5k0));
  x2 = _mm_srli_si128(x1, 4);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, mask), k, 0x00), x2);
  k = _mm_load_si128(reinterpret_cast<const __m128i*>(poly));
  x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, mask), k, 0x10);
  x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, mask), k, 0x00);
  return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(x1, x2), 1));
}

bool CanFold() {
  static const bool supported =
      __builtin_cpu_supports("pclmul") != 0 && __builtin_cpu_supports("sse4.1") != 0;
  return supported;
}
#endif

uint32_t Advance(uint32_t state, std::span<const uint8_t> bytes) {
  const uint8_t* p = bytes.data();
  size_t left = bytes.size();
#ifdef QOR_CRC32_FOLDING
  if (left >= 64 && CanFold()) {
    const size_t folded = left & ~size_t{15};
    state = Fold(state, p, folded);
    p += folded;
    left -= folded;
  }
#endif
  for (; left >= 8; left -= 8, p += 8) {
    const uint32_t low = LittleEndian32(p) ^ state;
    const uint32_t high = LittleEndian32(p + 4);
    state = kTables[7][low & 0xFFu] ^ kTables[6][(low >> 8) & 0xFFu] ^
            kTables[5][(low >> 16) & 0xFFu] ^ kTables[4][low >> 24] ^ kTables[3][high & 0xFFu] ^
            kTables[2][(high >> 8) & 0xFFu] ^ kTables[1][(high >> 16) & 0xFFu] ^
            kTables[0][high >> 24];
  }
  for (; left > 0; --left, ++p) state = kTable[(state ^ *p) & 0xFFu] ^ (state >> 8);
  return state;
}

// One step of the CRC register, state' = (state >> 8) ^ table[(state ^ byte) & 0xFF], is affine
// over GF(2): the table is linear, so state' = L(state) ^ table[byte]. n steps of the same byte
// are the n-th power of that map, which squaring builds in log n steps.
struct AffineMap {
  std::array<uint32_t, 32> columns{};  // the images of the 32 unit vectors under the linear part
  uint32_t constant = 0;

  [[nodiscard]] uint32_t Linear(uint32_t state) const {
    uint32_t result = 0;
    for (int bit = 0; state != 0; ++bit, state >>= 1) {
      if ((state & 1u) != 0) result ^= columns[static_cast<size_t>(bit)];
    }
    return result;
  }
  [[nodiscard]] uint32_t Apply(uint32_t state) const { return Linear(state) ^ constant; }
  // This map applied twice.
  [[nodiscard]] AffineMap Squared() const {
    AffineMap twice;
    for (size_t i = 0; i < columns.size(); ++i) twice.columns[i] = Linear(columns[i]);
    twice.constant = Apply(constant);
    return twice;
  }
};

using Powers = std::array<AffineMap, 64>;

// The maps of 1, 2, 4, ... 2^63 steps of value.
Powers PowersOf(uint8_t value) {
  Powers powers;
  AffineMap& step = powers[0];
  for (uint32_t bit = 0; bit < 32; ++bit) {
    const uint32_t unit = 1u << bit;
    step.columns[bit] = kTable[unit & 0xFFu] ^ (unit >> 8);
  }
  step.constant = kTable[value];
  for (size_t i = 1; i < powers.size(); ++i) powers[i] = powers[i - 1].Squared();
  return powers;
}

// Blank (0xFF) runs are the ones images have; their powers are built once.
const Powers& BlankPowers() {
  static const Powers powers = PowersOf(0xFF);
  return powers;
}

// count steps from state. Powers of one map commute, so the bits of count go in any order.
uint32_t Repeat(const Powers& powers, uint32_t state, uint64_t count) {
  for (size_t bit = 0; count != 0; ++bit, count >>= 1) {
    if ((count & 1u) != 0) state = powers[bit].Apply(state);
  }
  return state;
}

// Runs shorter than this are cheaper byte by byte than through the maps.
constexpr uint64_t kShortRun = 256;

}  // namespace

uint32_t Crc32Extend(uint32_t crc, std::span<const uint8_t> bytes) {
  return Advance(crc ^ 0xFFFFFFFFu, bytes) ^ 0xFFFFFFFFu;
}

uint32_t Crc32ExtendRepeated(uint32_t crc, uint8_t value, uint64_t count) {
  uint32_t state = crc ^ 0xFFFFFFFFu;
  if (count < kShortRun) {
    for (uint64_t i = 0; i < count; ++i) state = kTable[(state ^ value) & 0xFFu] ^ (state >> 8);
    return state ^ 0xFFFFFFFFu;
  }
  state =
      value == 0xFF ? Repeat(BlankPowers(), state, count) : Repeat(PowersOf(value), state, count);
  return state ^ 0xFFFFFFFFu;
}

uint32_t Crc32(std::span<const uint8_t> bytes) { return Crc32Extend(0, bytes); }

uint32_t Crc32(int32_t count, const uint8_t* bytes) {
  if (count <= 0 || bytes == nullptr) return 0;
  return Crc32(std::span<const uint8_t>(bytes, static_cast<size_t>(count)));
}

}  // namespace qor
