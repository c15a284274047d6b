// milter.cpp - see milter.h.
#include "milter.h"

#include <libmilter/mfapi.h>
#include <strings.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "log.h"
#include "scan_pool.h"

namespace ascand {
namespace {

Milter* g_milter = nullptr;  // one per process: libmilter keeps one registration

// The header fields ascand writes; the same names arriving from outside are
// removed so that only our own verdict reaches the mailbox.
const char* const kOwnHeaders[] = {"X-Spam-Flag", "X-Spam-Score", "X-Spam-Status"};

struct Message {
  std::shared_ptr<const Config> config;  // as at MAIL FROM
  std::string bytes;
  size_t size = 0;  // bytes seen, kept or not
  bool oversized = false;
  int recipients = 0;
  int own_headers[3] = {0, 0, 0};  // arriving X-Spam-* fields, per name
  std::chrono::steady_clock::time_point start;
};

struct Connection {
  uint64_t id = 0;
  std::string client;
  bool in_message = false;
  Message message;
};

Connection* Conn(SMFICTX* ctx) { return static_cast<Connection*>(smfi_getpriv(ctx)); }

// The queue ID the mail server gave the message, for log lines.
std::string QueueId(SMFICTX* ctx) {
  const char* id = smfi_getsymval(ctx, const_cast<char*>("i"));
  return id && *id ? id : "-";
}

void Append(Message& m, const char* data, size_t size) {
  m.size += size;
  if (m.oversized) return;
  if (m.size > m.config->max_message_size) {
    m.oversized = true;
    std::string().swap(m.bytes);  // give the memory back now
    return;
  }
  m.bytes.append(data, size);
}

void EndMessage(Connection* c) {
  if (!c->in_message) return;
  c->in_message = false;
  c->message = Message();
  g_milter->MessageEnded();
}

sfsistat TempFail(SMFICTX* ctx, const char* text) {
  smfi_setreply(ctx, const_cast<char*>("451"), const_cast<char*>("4.7.1"), const_cast<char*>(text));
  return SMFIS_TEMPFAIL;
}

// A callback that throws (out of memory while collecting a message) must
// not unwind into libmilter: the message gets the on_error action instead.
template <class F>
sfsistat Guarded(SMFICTX* ctx, const char* step, F&& f) noexcept {
  char what[256] = "unknown exception";  // copied: the exception is gone after its handler
  try {
    return f();
  } catch (const std::exception& e) {
    std::snprintf(what, sizeof what, "%s", e.what());
  } catch (...) {
  }
  try {
    ++g_milter->mutable_counters().errors;
    Connection* c = Conn(ctx);
    bool accept = g_milter->config()->on_error == ErrorAction::kAccept;
    Log(LogLevel::kError, "%s failed: %s; action=%s", step, what, accept ? "accept" : "tempfail");
    if (c) EndMessage(c);
    return accept ? SMFIS_ACCEPT : TempFail(ctx, "Mail filter failure, try again later");
  } catch (...) {
    return SMFIS_TEMPFAIL;
  }
}

sfsistat DoConnect(SMFICTX* ctx, char* host, _SOCK_ADDR*) {
  if (g_milter->stopping()) {
    ++g_milter->mutable_counters().refused;
    return SMFIS_TEMPFAIL;
  }
  auto* c = new (std::nothrow) Connection;
  if (!c) return SMFIS_TEMPFAIL;
  c->id = g_milter->NextConnectionId();
  c->client = host ? host : "unknown";
  smfi_setpriv(ctx, c);
  ++g_milter->mutable_counters().connections;
  Log(LogLevel::kDebug, "connection %llu from %s", static_cast<unsigned long long>(c->id), c->client.c_str());
  return SMFIS_CONTINUE;
}

sfsistat DoEnvFrom(SMFICTX* ctx, char**) {
  Connection* c = Conn(ctx);
  if (!c) return SMFIS_TEMPFAIL;
  EndMessage(c);  // a message without end or abort: forget it
  if (g_milter->stopping()) {
    ++g_milter->mutable_counters().refused;
    return TempFail(ctx, "Mail filter is restarting, try again later");
  }
  c->in_message = true;
  c->message.config = g_milter->config();
  c->message.start = std::chrono::steady_clock::now();
  g_milter->MessageStarted();
  return SMFIS_CONTINUE;
}

sfsistat DoEnvRcpt(SMFICTX* ctx, char**) {
  Connection* c = Conn(ctx);
  if (c && c->in_message) ++c->message.recipients;
  return SMFIS_CONTINUE;
}

sfsistat DoHeader(SMFICTX* ctx, char* name, char* value) {
  Connection* c = Conn(ctx);
  if (!c || !c->in_message) return SMFIS_CONTINUE;
  for (int i = 0; i < 3; ++i)
    if (strcasecmp(name, kOwnHeaders[i]) == 0) ++c->message.own_headers[i];
  std::string line = std::string(name) + ": " + value + "\r\n";
  Append(c->message, line.data(), line.size());
  return SMFIS_CONTINUE;
}

sfsistat DoEndOfHeaders(SMFICTX* ctx) {
  Connection* c = Conn(ctx);
  if (c && c->in_message) Append(c->message, "\r\n", 2);
  return SMFIS_CONTINUE;
}

sfsistat DoBody(SMFICTX* ctx, unsigned char* data, size_t size) {
  Connection* c = Conn(ctx);
  if (c && c->in_message) Append(c->message, reinterpret_cast<const char*>(data), size);
  return SMFIS_CONTINUE;
}

// Removes the X-Spam-* fields the message arrived with (last first, so the
// indexes of the others stay valid) and adds ours.
bool WriteHeaders(SMFICTX* ctx, const Message& m, const std::vector<std::pair<std::string, std::string>>& headers) {
  bool ok = true;
  for (int i = 0; i < 3; ++i)
    for (int n = m.own_headers[i]; n >= 1; --n)
      ok = smfi_chgheader(ctx, const_cast<char*>(kOwnHeaders[i]), n, nullptr) == MI_SUCCESS && ok;
  for (const auto& h : headers)
    ok = smfi_addheader(ctx, const_cast<char*>(h.first.c_str()), const_cast<char*>(h.second.c_str())) == MI_SUCCESS &&
         ok;
  return ok;
}

sfsistat DoEndOfMessage(SMFICTX* ctx) {
  Connection* c = Conn(ctx);
  if (!c || !c->in_message) return SMFIS_CONTINUE;
  Message& m = c->message;
  const Config& cfg = *m.config;
  MilterCounters& n = g_milter->mutable_counters();
  ++n.messages;
  std::string qid = QueueId(ctx);
  sfsistat result = SMFIS_CONTINUE;

  if (m.oversized) {
    ++n.oversized;
    char status[96];
    std::snprintf(status, sizeof status, "No, not scanned: message over %zu bytes", cfg.max_message_size);
    if (!WriteHeaders(ctx, m, {{"X-Spam-Status", status}}))
      Log(LogLevel::kWarning, "%s: cannot add headers", qid.c_str());
    Log(LogLevel::kInfo, "%s: not scanned, size=%zu over max_message_size=%zu, action=accept", qid.c_str(), m.size,
        cfg.max_message_size);
    EndMessage(c);
    return SMFIS_CONTINUE;
  }

  ScanOutcome out = g_milter->pool().Scan(m.bytes);
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - m.start).count();
  if (!out.ok) {
    ++n.errors;
    bool accept = cfg.on_error == ErrorAction::kAccept;
    Log(LogLevel::kError, "%s: scan failed: %s; action=%s", qid.c_str(), out.error.c_str(),
        accept ? "accept" : "tempfail");
    result = accept ? SMFIS_CONTINUE : TempFail(ctx, "Mail filter failure, try again later");
  } else {
    bool reject = cfg.reject_score > 0 && out.score >= cfg.reject_score;
    (out.spam ? n.spam : n.ham)++;
    if (reject) {
      ++n.rejected;
      smfi_setreply(ctx, const_cast<char*>("550"), const_cast<char*>("5.7.1"),
                    const_cast<char*>("Message rejected as spam"));
      result = SMFIS_REJECT;
    } else if (!WriteHeaders(ctx, m, out.headers)) {
      Log(LogLevel::kWarning, "%s: cannot add headers", qid.c_str());
    }
    Log(LogLevel::kInfo, "%s: %s, score=%.3f, size=%zu, recipients=%d, time=%.1fms, action=%s", qid.c_str(),
        out.verdict.c_str(), out.score, m.size, m.recipients, ms, reject ? "reject" : "accept");
  }
  EndMessage(c);
  return result;
}

sfsistat DoAbort(SMFICTX* ctx) {
  Connection* c = Conn(ctx);
  if (c && c->in_message) {
    ++g_milter->mutable_counters().aborted;
    Log(LogLevel::kDebug, "connection %llu: message aborted", static_cast<unsigned long long>(c->id));
    EndMessage(c);
  }
  return SMFIS_CONTINUE;
}

sfsistat DoClose(SMFICTX* ctx) {
  Connection* c = Conn(ctx);
  if (!c) return SMFIS_CONTINUE;
  if (c->in_message) ++g_milter->mutable_counters().aborted;
  EndMessage(c);
  Log(LogLevel::kDebug, "connection %llu closed", static_cast<unsigned long long>(c->id));
  smfi_setpriv(ctx, nullptr);
  delete c;
  return SMFIS_CONTINUE;
}

sfsistat OnConnect(SMFICTX* ctx, char* host, _SOCK_ADDR* addr) {
  return Guarded(ctx, "connect", [&] { return DoConnect(ctx, host, addr); });
}

sfsistat OnEnvFrom(SMFICTX* ctx, char** argv) {
  return Guarded(ctx, "MAIL FROM", [&] { return DoEnvFrom(ctx, argv); });
}

sfsistat OnEnvRcpt(SMFICTX* ctx, char** argv) {
  return Guarded(ctx, "RCPT TO", [&] { return DoEnvRcpt(ctx, argv); });
}

sfsistat OnHeader(SMFICTX* ctx, char* name, char* value) {
  return Guarded(ctx, "header", [&] { return DoHeader(ctx, name, value); });
}

sfsistat OnEndOfHeaders(SMFICTX* ctx) {
  return Guarded(ctx, "end of headers", [&] { return DoEndOfHeaders(ctx); });
}

sfsistat OnBody(SMFICTX* ctx, unsigned char* data, size_t size) {
  return Guarded(ctx, "body", [&] { return DoBody(ctx, data, size); });
}

sfsistat OnEndOfMessage(SMFICTX* ctx) {
  return Guarded(ctx, "end of message", [&] { return DoEndOfMessage(ctx); });
}

sfsistat OnAbort(SMFICTX* ctx) {
  return Guarded(ctx, "abort", [&] { return DoAbort(ctx); });
}

sfsistat OnClose(SMFICTX* ctx) {
  return Guarded(ctx, "close", [&] { return DoClose(ctx); });
}

}  // namespace

Milter::Milter(ScanPool& pool, std::shared_ptr<const Config> config) : pool_(pool), config_(std::move(config)) {}

bool Milter::Register(std::string& error) {
  static char name[] = "ascand";
  smfiDesc desc{};
  desc.xxfi_name = name;
  desc.xxfi_version = SMFI_VERSION;
  desc.xxfi_flags = SMFIF_ADDHDRS | SMFIF_CHGHDRS;
  desc.xxfi_connect = OnConnect;
  desc.xxfi_envfrom = OnEnvFrom;
  desc.xxfi_envrcpt = OnEnvRcpt;
  desc.xxfi_header = OnHeader;
  desc.xxfi_eoh = OnEndOfHeaders;
  desc.xxfi_body = OnBody;
  desc.xxfi_eom = OnEndOfMessage;
  desc.xxfi_abort = OnAbort;
  desc.xxfi_close = OnClose;
  g_milter = this;
  if (smfi_register(desc) != MI_SUCCESS) {
    error = "libmilter refused the filter registration";
    return false;
  }
  return true;
}

void Milter::SetConfig(std::shared_ptr<const Config> config) {
  std::lock_guard<std::mutex> lock(mu_);
  config_ = std::move(config);
}

std::shared_ptr<const Config> Milter::config() const {
  std::lock_guard<std::mutex> lock(mu_);
  return config_;
}

void Milter::BeginStop() { stopping_ = true; }

void Milter::MessageStarted() {
  std::lock_guard<std::mutex> lock(mu_);
  ++in_progress_;
}

void Milter::MessageEnded() {
  std::lock_guard<std::mutex> lock(mu_);
  if (--in_progress_ == 0) idle_.notify_all();
}

int Milter::InProgress() const {
  std::lock_guard<std::mutex> lock(mu_);
  return in_progress_;
}

bool Milter::WaitIdle(std::chrono::seconds limit) {
  std::unique_lock<std::mutex> lock(mu_);
  return idle_.wait_for(lock, limit, [&] { return in_progress_ == 0; });
}

}  // namespace ascand
