// json.cpp - JSON lines through the nlohmann JSON library.
#include "json.h"

#include <cmath>

#include <nlohmann/json.hpp>

#include "codec.h"

namespace astools {

struct JsonLine::Impl {
  nlohmann::ordered_json object = nlohmann::ordered_json::object();
};

JsonLine::JsonLine() : impl_(new Impl) {}
JsonLine::~JsonLine() = default;

JsonLine& JsonLine::Add(const char* key, std::string_view text) {
  impl_->object[key] = std::string(text);
  return *this;
}

JsonLine& JsonLine::Add(const char* key, int64_t value) {
  impl_->object[key] = value;
  return *this;
}

JsonLine& JsonLine::Add(const char* key, bool value) {
  impl_->object[key] = value;
  return *this;
}

JsonLine& JsonLine::Add(const char* key, double value, int decimals) {
  if (!std::isfinite(value)) {
    impl_->object[key] = nullptr;  // JSON has no NaN or infinity
    return *this;
  }
  double scale = std::pow(10.0, decimals);
  impl_->object[key] = std::round(value * scale) / scale;
  return *this;
}

JsonLine& JsonLine::Add(const char* key, const std::vector<std::string>& texts) {
  impl_->object[key] = texts;
  return *this;
}

JsonLine& JsonLine::AddPath(const char* key, std::string_view path) {
  Add(key, path);
  if (eml::IsValidUtf8(path)) return *this;
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(path.size() * 2);
  for (unsigned char c : path) {
    hex.push_back(kHex[c >> 4]);
    hex.push_back(kHex[c & 15]);
  }
  impl_->object[std::string(key) + "_hex"] = hex;
  return *this;
}

std::string JsonLine::Line() const {
  std::string s = impl_->object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
  s.push_back('\n');
  return s;
}

}  // namespace astools
