// Arbitrary bytes as a file handed to ascan: split by the bounded reader (a
// small cap, so cut messages are common), each message scanned by the real
// core and plug-ins, written as a JSON line with the bytes as its path, and
// run through the filter's header insertion. Nothing may crash, every
// message must respect the cap and get a verdict, every line must parse and
// give the path back, and the insertion must leave the body alone.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "engine.h"
#include "input.h"
#include "json.h"
#include "spamheaders.h"

namespace {

const size_t kCap = 64u << 10;
astools::Engine* g_engine;
astools::Session* g_session;

// The part of `head` that must come out unchanged: from its first blank line
// on, or all of it when the first line is no header field. A first line
// that starts blank is taken as a stray continuation, as the engine does.
std::string_view Body(std::string_view head) {
  size_t start = head.substr(0, 5) == "From " ? head.find('\n') : std::string_view::npos;
  start = start == std::string_view::npos ? 0 : start + 1;
  size_t colon = head.find(':', start), nl = head.find('\n', start);
  bool stray = start < head.size() && (head[start] == ' ' || head[start] == '\t');
  if (start < head.size() && !stray && (colon == std::string_view::npos || (nl != std::string_view::npos && nl < colon)))
    return head.substr(start);  // no header section: the fields go before all of it
  for (size_t p = start; p < head.size();) {
    size_t e = head.find('\n', p);
    if (e == std::string_view::npos) break;
    std::string_view line = head.substr(p, e - p);
    if (line.empty() || line == "\r") return head.substr(p);
    p = e + 1;
  }
  return std::string_view();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_engine = new astools::Engine;
  g_session = new astools::Session;
  std::string err;
  astools::Settings none;
  if (!g_engine->Start(ASCAN_FUZZ_MODULES_DIR, none, err) || !g_session->Open(err)) {
    std::fprintf(stderr, "fuzz_ascan: %s\n", err.c_str());
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = memfd_create("fuzz_ascan", MFD_CLOEXEC);
  if (fd < 0 || !astools::WriteAll(fd, reinterpret_cast<const char*>(data), size) || lseek(fd, 0, SEEK_SET) != 0)
    std::abort();
  astools::MessageReader reader(fd, kCap);
  astools::Message m;
  size_t total = 0;
  while (reader.Next(m)) {
    if (m.bytes.size() > kCap || (m.truncated && m.bytes.size() != kCap)) std::abort();
    total += m.bytes.size();
    if (total > size) std::abort();
    astools::ScanResult r = g_session->Scan(m.bytes.data(), m.bytes.size(), true);
    if (r.verdict == astools::ScanResult::kError || !(r.score >= 0 && r.score <= 1)) std::abort();

    std::string path = m.bytes.substr(0, 300);
    astools::JsonLine j;
    j.AddPath("path", path).Add("verdict", r.VerdictText()).Add("rules", r.rules).Add("tokens", r.tokens);
    nlohmann::json v = nlohmann::json::parse(j.Line(), nullptr, false);
    if (v.is_discarded()) std::abort();
    if (v.contains("path_hex")) {
      std::string hex = v["path_hex"].get<std::string>();
      if (hex.size() != 2 * path.size()) std::abort();
    } else if (v["path"].get<std::string>() != path) {
      std::abort();
    }

    std::string out = astools::AddSpamHeaders(m.bytes, !m.truncated, r);
    std::string_view body = Body(m.bytes);
    if (out.size() < body.size() || out.compare(out.size() - body.size(), body.size(), body) != 0) std::abort();
    if (out.find("X-Spam-Flag: ") == std::string::npos) std::abort();
  }
  if (!reader.error().empty()) std::abort();
  close(fd);
  return 0;
}
