// binio.h - little-endian fields and the checksum of the engine's model files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace eml {
namespace binio {

// The model file's checksum: four independent multiply-rotate lanes over
// 8-byte little-endian words (fast enough not to show when a large model is
// read), the tail bytes, then the lanes and the length mixed together. Any
// one changed bit changes it; it guards against damage, not against forgery.
inline uint64_t Checksum(const char* p, size_t n) {
  constexpr uint64_t k = 0x9E3779B97F4A7C15ULL;
  uint64_t h[4] = {0x243F6A8885A308D3ULL, 0x13198A2E03707344ULL, 0xA4093822299F31D0ULL, 0x082EFA98EC4E6C89ULL};
  auto word = [](const char* q) {
    uint64_t w;
    std::memcpy(&w, q, 8);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    return w;
  };
  auto lane = [](uint64_t x, uint64_t w) {
    x = (x ^ w) * k;
    return (x << 31) | (x >> 33);
  };
  size_t i = 0;
  for (; i + 32 <= n; i += 32)
    for (int l = 0; l < 4; ++l) h[l] = lane(h[l], word(p + i + 8 * l));
  for (; i + 8 <= n; i += 8) h[0] = lane(h[0], word(p + i));
  uint64_t tail = 0;
  for (size_t j = 0; i + j < n; ++j) tail |= static_cast<uint64_t>(static_cast<unsigned char>(p[i + j])) << (8 * j);
  h[1] = lane(h[1], tail);
  uint64_t x = n * k;
  for (int l = 0; l < 4; ++l) {
    x = lane(x, h[l]);
    x ^= x >> 29;
  }
  return x ^ (x >> 32);
}

inline void Put(std::string& s, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

inline uint64_t Get(const char* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes; i-- > 0;) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

}  // namespace binio
}  // namespace eml
