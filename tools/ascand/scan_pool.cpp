// scan_pool.cpp - see scan_pool.h.
#include "scan_pool.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "engine.h"
#include "settings.h"
#include "spamheaders.h"

namespace ascand {
namespace {

// The settings file of the configuration, with `model` over its ModelPath.
bool BuildSettings(const Config& config, astools::Settings& settings, std::string& error) {
  if (!config.settings.empty() && !settings.LoadIni(config.settings, error)) return false;
  if (!config.model.empty() &&
      !settings.Add("EmlBayesFilter/ModelPath", config.model, "model (ascand configuration)", error))
    return false;
  return true;
}

#ifdef ASCAND_FAULT_POINTS
// Test builds only: ASCAND_FAULT=scan makes every scan fail, so the tests can
// reach the on_error paths that a healthy core never takes.
bool ScanFaultSet() {
  const char* f = std::getenv("ASCAND_FAULT");
  return f && std::strcmp(f, "scan") == 0;
}
#else
bool ScanFaultSet() { return false; }
#endif

}  // namespace

struct ScanPool::Impl {
  std::unique_ptr<astools::Engine> engine = std::make_unique<astools::Engine>();
  std::vector<std::unique_ptr<astools::Session>> sessions;
  std::vector<astools::Session*> free;
  std::mutex mu;
  std::condition_variable cv;
  int busy = 0;
  bool pausing = false;  // a reload waits for the scans in progress
  bool started = false;
};

ScanPool::ScanPool() : impl_(new Impl) {}

ScanPool::~ScanPool() {
  Stop();
  delete impl_;
}

bool ScanPool::Start(const Config& config, std::string& error) {
  astools::Settings settings;
  if (!BuildSettings(config, settings, error)) return false;
  if (!impl_->engine->Start(astools::ModulesDir(config.modules), settings, error)) return false;
  for (int i = 0; i < config.workers; ++i) {
    auto session = std::make_unique<astools::Session>();
    if (!session->Open(error)) {
      impl_->free.clear();
      impl_->sessions.clear();
      return false;
    }
    impl_->free.push_back(session.get());
    impl_->sessions.push_back(std::move(session));
  }
  impl_->started = true;
  return true;
}

bool ScanPool::Reload(const Config& config, std::string& error) {
  // Everything that can be checked without the core is checked before any
  // scan has to wait.
  astools::Settings settings;
  if (!BuildSettings(config, settings, error)) return false;
  const std::string* model = settings.Find("/eml/EmlBayesFilter/ModelPath");
  if (model && !model->empty() && !astools::CheckModelFile(*model, error)) return false;

  std::unique_lock<std::mutex> lock(impl_->mu);
  if (!impl_->started) {
    error = "the scanner is stopped";
    return false;
  }
  impl_->pausing = true;
  impl_->cv.wait(lock, [&] { return impl_->busy == 0; });
  bool ok = impl_->engine->Reload(settings, error);
  // Applied again after a failed reload too: the sessions take whatever the
  // engine holds now.
  for (auto& s : impl_->sessions) {
    std::string why;
    if (!s->Reapply(why) && ok) {
      error = "a session refused the new settings: " + why;
      ok = false;
    }
  }
  impl_->pausing = false;
  impl_->cv.notify_all();
  return ok;
}

ScanOutcome ScanPool::Scan(const std::string& message) {
  ScanOutcome out;
  astools::Session* session = nullptr;
  {
    std::unique_lock<std::mutex> lock(impl_->mu);
    impl_->cv.wait(lock, [&] { return !impl_->started || (!impl_->pausing && !impl_->free.empty()); });
    if (!impl_->started) {
      out.error = "the scanner is stopped";
      return out;
    }
    session = impl_->free.back();
    impl_->free.pop_back();
    ++impl_->busy;
  }
  astools::ScanResult r;
  if (ScanFaultSet())
    r.error = "fault point ASCAND_FAULT=scan";
  else
    r = session->Scan(message.data(), message.size(), true);
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->free.push_back(session);
    --impl_->busy;
  }
  impl_->cv.notify_all();

  if (r.verdict == astools::ScanResult::kError) {
    out.error = r.error.empty() ? "no verdict" : r.error;
    return out;
  }
  out.ok = true;
  out.spam = r.verdict == astools::ScanResult::kSpam;
  out.score = r.score;
  out.verdict = r.VerdictText();
  out.headers = astools::SpamHeaderFields(r);
  return out;
}

void ScanPool::Stop() {
  std::unique_lock<std::mutex> lock(impl_->mu);
  if (!impl_->started) return;
  impl_->started = false;
  impl_->cv.notify_all();
  impl_->cv.wait(lock, [&] { return impl_->busy == 0; });
  impl_->free.clear();
  impl_->sessions.clear();  // sessions before the engine
  impl_->engine.reset();
}

}  // namespace ascand
