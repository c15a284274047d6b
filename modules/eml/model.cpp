// model.cpp - model kinds, the learned-message record and the model file.
#include "model.h"

#include <algorithm>
#include <cstring>

#include "bayes.h"
#include "binio.h"
#include "fused.h"

namespace eml {
namespace {

const char kMagic[8] = {'A', 'S', 'E', 'M', 'L', 'M', 'D', 'L'};
// 2: the checksum of binio.h (version 1 used FNV-1a, byte by byte).
const uint32_t kFormatVersion = 2;
const size_t kHeaderBytes = 8 + 4 + 4 + 4 + 4 + 8 + 8;
const size_t kLearnedBytes = 16;
// Refuse absurd files before allocating for them.
const uint64_t kMaxLearned = 1ull << 28;
const uint64_t kMaxPayload = 1ull << 30;

using binio::Checksum;
using binio::Get;
using binio::Put;

auto ByDigest = [](const LearnedMessages::Entry& e, uint64_t d) { return e.digest < d; };

}  // namespace

std::unique_ptr<TokenModel> NewModel(uint32_t kind) {
  if (kind == kModelBayes) return std::make_unique<BayesModel>();
  if (kind == kModelFused) return std::make_unique<FusedModel>();
  return nullptr;
}

bool LearnedMessages::Find(uint64_t digest, Label& label) const {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), digest, ByDigest);
  if (it == entries_.end() || it->digest != digest) return false;
  label = it->label;
  return true;
}

void LearnedMessages::Set(uint64_t digest, Label label) {
  if (entries_.empty() || entries_.back().digest < digest) {  // appending in order, as a file is read
    entries_.push_back(Entry{digest, label});
    return;
  }
  auto it = std::lower_bound(entries_.begin(), entries_.end(), digest, ByDigest);
  if (it != entries_.end() && it->digest == digest) it->label = label;
  else entries_.insert(it, Entry{digest, label});
}

void LearnedMessages::Erase(uint64_t digest) {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), digest, ByDigest);
  if (it != entries_.end() && it->digest == digest) entries_.erase(it);
}

std::string SerializeModelFile(const TokenModel& model, const LearnedMessages& learned) {
  std::string payload;
  model.SavePayload(payload);
  std::string out;
  out.reserve(kHeaderBytes + learned.size() * kLearnedBytes + payload.size() + 8);
  out.append(kMagic, 8);
  Put(out, kFormatVersion, 4);
  Put(out, model.kind(), 4);
  Put(out, model.payload_version(), 4);
  Put(out, 0, 4);
  Put(out, learned.size(), 8);
  Put(out, payload.size(), 8);
  for (const LearnedMessages::Entry& e : learned.entries()) {
    Put(out, e.digest, 8);
    Put(out, static_cast<uint32_t>(e.label), 4);
    Put(out, 0, 4);
  }
  out += payload;
  Put(out, Checksum(out.data(), out.size()), 8);
  return out;
}

bool ParseModelFile(std::string_view d, ModelData& out, std::string& error) {
  if (d.size() >= 8 && std::memcmp(d.data(), "ASEMLBY1", 8) == 0) {
    error = "model file in an older format (ASEMLBY1) that this build no longer reads: train it again with 'ascan train'";
    return false;
  }
  if (d.size() < kHeaderBytes + 8 || std::memcmp(d.data(), kMagic, 8) != 0) {
    error = "not a model file (bad magic or too short)";
    return false;
  }
  uint32_t format = static_cast<uint32_t>(Get(d.data() + 8, 4));
  if (format != kFormatVersion) {
    error = "model file format version " + std::to_string(format) + " is not supported (this build reads version " +
            std::to_string(kFormatVersion) + ")";
    if (format < kFormatVersion) error += ": train it again with 'ascan train'";
    return false;
  }
  if (Checksum(d.data(), d.size() - 8) != Get(d.data() + d.size() - 8, 8)) {
    error = "model file checksum mismatch (corrupt or truncated)";
    return false;
  }
  uint32_t kind = static_cast<uint32_t>(Get(d.data() + 12, 4));
  uint32_t payload_version = static_cast<uint32_t>(Get(d.data() + 16, 4));
  uint64_t nlearned = Get(d.data() + 24, 8), payload_bytes = Get(d.data() + 32, 8);
  if (nlearned > kMaxLearned || payload_bytes > kMaxPayload ||
      d.size() != kHeaderBytes + nlearned * kLearnedBytes + payload_bytes + 8) {
    error = "model file size does not match its header";
    return false;
  }
  std::unique_ptr<TokenModel> model = NewModel(kind);
  if (!model) {
    error = "model kind " + std::to_string(kind) + " is not supported by this build";
    return false;
  }
  if (payload_version != model->payload_version()) {
    error = "model data version " + std::to_string(payload_version) + " is not supported (this build reads version " +
            std::to_string(model->payload_version()) + ")";
    if (payload_version < model->payload_version()) error += ": train it again with 'ascan train'";
    return false;
  }
  LearnedMessages learned;
  const char* p = d.data() + kHeaderBytes;
  for (uint64_t i = 0; i < nlearned; ++i, p += kLearnedBytes) {
    uint64_t digest = Get(p, 8);
    uint64_t label = Get(p + 8, 4);
    if (digest == 0 || label > 1 || (i > 0 && digest <= learned.entries().back().digest)) {
      error = "model file learned-message record is not sorted or has a bad label";
      return false;
    }
    learned.Set(digest, static_cast<Label>(label));
  }
  if (!model->LoadPayload(std::string_view(p, payload_bytes), error)) {
    error = "model file: " + error;
    return false;
  }
  out.model = std::move(model);
  out.learned = std::move(learned);
  return true;
}

uint64_t MessageDigest(std::string_view raw) {
  if (raw.size() >= 5 && raw.substr(0, 5) == "From ") {
    size_t nl = raw.find('\n');
    raw = nl == std::string_view::npos ? std::string_view() : raw.substr(nl + 1);
  }
  while (!raw.empty() && (raw.back() == '\n' || raw.back() == '\r' || raw.back() == ' ' || raw.back() == '\t'))
    raw.remove_suffix(1);
  std::string norm;
  norm.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i)
    if (!(raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')) norm.push_back(raw[i]);
  // HashToken never answers 0; prefixing keeps message digests apart from
  // token hashes of the same text.
  return HashToken("msg\n" + norm);
}

}  // namespace eml
