// binio.h - little-endian fields and the checksum of the engine's model files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace eml {
namespace binio {

inline uint64_t Fnv1a(const char* p, size_t n) {
  uint64_t h = 1469598103934665603ULL;
  for (size_t i = 0; i < n; ++i) {
    h ^= static_cast<unsigned char>(p[i]);
    h *= 1099511628211ULL;
  }
  return h;
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
