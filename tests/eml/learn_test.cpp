// Learning through the core: the learning verbs of the real aseml.mdl, the
// model file they save, scans running while others learn, and processes
// sharing one model file. Each test runs in its own process.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "../support/temp_dir.h"
#include "analyzer.h"
#include "ascore/ascore.h"
#include "ascore/aseml.h"
#include "model_store.h"

namespace {

const char kHam[] =
    "From: Alice <alice@example.org>\nTo: bob@example.net\nSubject: build meeting notes\n\n"
    "the nightly build moves to the second machine after the meeting on thursday\n";
const char kSpam[] =
    "From: deals@cheap-meds.example\nSubject: cheap meds online\n\n"
    "buy cheap pills now, best prices, click here for the discount offer\n";
// Shares its words with kHam, so the model first calls it ham.
const char kTarget[] =
    "From: Carol <carol@example.org>\nSubject: build machine\n\n"
    "the nightly build on the second machine, winning lottery transfer fee\n";

struct Outcome {
  int rc = 0;
  std::string error, result, status;
  uint64_t spam = 0, ham = 0;
  int verdict = -1;
  double bayes = -1;
};

// One session of a core whose instance the caller made.
class Host {
public:
  Host() {
    session_ = as_core_session_create();
    if (session_) as_core_settings_apply(session_);
  }
  ~Host() {
    if (session_) as_core_session_release(session_);
  }
  Outcome Run(const std::string& raw, uint32_t verb) {
    Outcome o;
    as_item_descriptor_t d{reinterpret_cast<int64_t>(raw.data()), static_cast<int64_t>(raw.size()),
                           ASEML_ENTITY_MAIL, ASEML_SOURCE_BUFFER};
    as_blackbox_t* bb = as_blackbox_create();
    o.rc = as_core_item_process_alt(session_, &d, verb, bb);
    if (o.rc) o.error = as_core_errmsg();
    const char* text = nullptr;
    as_blackbox_get(bb, ASEML_BB_LEARN_RESULT, BB_TYPE_STRING, &text);
    o.result = text ? text : "";
    text = nullptr;
    as_blackbox_get(bb, ASEML_BB_BAYES_STATUS, BB_TYPE_STRING, &text);
    o.status = text ? text : "";
    as_blackbox_get(bb, ASEML_BB_LEARNED_SPAM, BB_TYPE_ULONG, &o.spam, uint64_t{0});
    as_blackbox_get(bb, ASEML_BB_LEARNED_HAM, BB_TYPE_ULONG, &o.ham, uint64_t{0});
    as_blackbox_get(bb, ASEML_BB_VERDICT, BB_TYPE_INT, &o.verdict, -1);
    as_blackbox_get(bb, ASEML_BB_BAYES_SCORE, BB_TYPE_DOUBLE, &o.bayes, -1.0);
    as_blackbox_release(bb);
    return o;
  }
  as_session_t* session() const { return session_; }

private:
  as_session_t* session_ = nullptr;
};

// Starts the core with the model at `model`, header rules off so the model
// alone decides, and a look at the file before every scan.
int StartCore(const std::string& model) {
  int rc = as_core_instance_init(ASEML_MODULES_DIR, AS_PRODUCT_EML);
  if (rc) return rc;
  if (!model.empty()) as_core_setting_set(nullptr, "/eml/EmlBayesFilter/ModelPath", model.c_str());
  as_core_setting_set(nullptr, "/eml/EmlBayesFilter/ReloadSeconds", "0");
  as_core_setting_set(nullptr, "/eml/EmlHeaderFilter/Weight", "0");
  return as_core_settings_apply(nullptr);
}

class Learning : public testing::Test {
protected:
  void SetUp() override { ASSERT_EQ(StartCore(model_), 0) << as_core_errmsg(); }
  void TearDown() override {
    host_.reset();
    as_core_instance_release();
  }
  Host& host() {
    if (!host_) host_.reset(new Host);
    return *host_;
  }
  // Learns the ham and the spam sample, the smallest model that scores.
  void Seed() {
    ASSERT_EQ(host().Run(kHam, ASEML_VERB_LEARN_HAM).result, "learned");
    ASSERT_EQ(host().Run(kSpam, ASEML_VERB_LEARN_SPAM).result, "learned");
  }
  TempDir dir_;
  std::string model_ = dir_ / "model";
  std::unique_ptr<Host> host_;
};

TEST_F(Learning, EachVerbChangesTheVerdictAndForgetRestoresTheFile) {
  Outcome none = host().Run(kTarget, ASEML_VERB_SCAN);
  EXPECT_NE(none.status.find("model not loaded"), std::string::npos) << none.status;
  Seed();
  const std::string before = dir_.Read("model");
  Outcome first = host().Run(kTarget, ASEML_VERB_SCAN);
  ASSERT_EQ(first.status, "ok");
  ASSERT_EQ(first.verdict, 0);

  struct Step {
    uint32_t verb;
    const char* result;
    int verdict;
    uint64_t spam, ham;
  } steps[] = {
      {ASEML_VERB_LEARN_SPAM, "learned", 1, 2, 1},   {ASEML_VERB_LEARN_SPAM, "unchanged", 1, 2, 1},
      {ASEML_VERB_LEARN_HAM, "relearned", 0, 1, 2},  {ASEML_VERB_LEARN_SPAM, "relearned", 1, 2, 1},
      {ASEML_VERB_FORGET, "forgotten", 0, 1, 1},     {ASEML_VERB_FORGET, "not learned", 0, 1, 1},
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(std::to_string(s.verb) + " " + s.result);
    Outcome l = host().Run(kTarget, s.verb);
    ASSERT_EQ(l.rc, 0) << l.error;
    EXPECT_EQ(l.result, s.result);
    EXPECT_EQ(l.spam, s.spam);
    EXPECT_EQ(l.ham, s.ham);
    EXPECT_EQ(host().Run(kTarget, ASEML_VERB_SCAN).verdict, s.verdict);
  }
  EXPECT_EQ(dir_.Read("model"), before);
  EXPECT_EQ(host().Run(kTarget, ASEML_VERB_SCAN).bayes, first.bayes);
}

TEST_F(Learning, RefusalsLeaveTheModelAsItWas) {
  Seed();
  const std::string good = dir_.Read("model");
  std::string flipped = good, version = good;
  flipped[good.size() / 2] ^= 0x10;
  version[8] = 9;
  struct Case {
    const char* name;
    std::string path, content;  // content written to path first when not empty
    bool session_off;
    int rc;
    const char* message;
  } cases[] = {
      {"no model configured", "", "", false, -101, "no model configured"},
      {"corrupt file", dir_ / "corrupt", flipped, false, -202, "checksum mismatch"},
      {"wrong version", dir_ / "future", version, false, -202, "format version 9 is not supported"},
      {"missing folder", dir_ / "none/model", "", false, -203, "cannot open the lock file"},
      {"filter off for the session", model_, "", true, -101, "off on this session"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.content.empty()) std::ofstream(c.path, std::ios::binary) << c.content;
    as_core_setting_set(nullptr, "/eml/EmlBayesFilter/ModelPath", c.path.c_str());
    as_core_setting_set(host().session(), "/eml/EmlBayesFilter/Enabled", c.session_off ? "0" : "1");
    ASSERT_EQ(as_core_settings_apply(nullptr), 0) << as_core_errmsg();
    as_core_settings_apply(host().session());
    Outcome l = host().Run(kTarget, ASEML_VERB_LEARN_SPAM);
    EXPECT_EQ(l.rc, c.rc);
    EXPECT_NE(l.error.find(c.message), std::string::npos) << l.error;
    if (!c.content.empty()) {
      std::ifstream f(c.path, std::ios::binary);
      EXPECT_EQ(std::string(std::istreambuf_iterator<char>(f), {}), c.content);
      Outcome scan = host().Run(kTarget, ASEML_VERB_SCAN);
      EXPECT_NE(scan.status.find(c.message), std::string::npos) << scan.status;
    }
  }
  EXPECT_EQ(dir_.Read("model"), good);
}

// Scanning threads while another thread learns and forgets the message they
// scan: every scan must see the model before or after a step, never between
// (a half-applied step gives some other score). Run under ThreadSanitizer.
TEST_F(Learning, ScansDuringLearningSeeTheOldOrTheNewModel) {
  Seed();
  const double unlearned = host().Run(kTarget, ASEML_VERB_SCAN).bayes;
  ASSERT_EQ(host().Run(kTarget, ASEML_VERB_LEARN_SPAM).rc, 0);
  const double learned = host().Run(kTarget, ASEML_VERB_SCAN).bayes;
  ASSERT_EQ(host().Run(kTarget, ASEML_VERB_FORGET).rc, 0);
  ASSERT_NE(learned, unlearned);

  std::atomic<bool> done{false};
  std::atomic<int> scans{0}, odd{0};
  auto scanner = [&] {
    Host h;
    while (!done) {
      Outcome o = h.Run(kTarget, ASEML_VERB_SCAN);
      if (o.rc != 0 || (o.bayes != learned && o.bayes != unlearned)) ++odd;
      ++scans;
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < 2; ++i) threads.emplace_back(scanner);
  int failures = 0;
  {
    Host learner;
    for (int i = 0; i < 20; ++i) {
      failures += learner.Run(kTarget, ASEML_VERB_LEARN_SPAM).result != "learned";
      failures += learner.Run(kTarget, ASEML_VERB_FORGET).result != "forgotten";
    }
  }
  done = true;
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(odd, 0);
  EXPECT_GT(scans, 0);
}

// A host that only scans notices a model another process saved, without
// applying its settings again.
TEST_F(Learning, AModelSavedByAnotherProcessIsPickedUp) {
  Seed();
  ASSERT_EQ(host().Run(kTarget, ASEML_VERB_SCAN).verdict, 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {  // the other process learns through the engine alone
    eml::ModelStore store(model_);
    eml::Analysis a;
    eml::Analyze(kTarget, a);
    eml::ModelStore::Outcome outcome;
    std::string error;
    int rc = store.Apply(a.tokens, eml::MessageDigest(kTarget), eml::ModelStore::Action::kLearnSpam,
                         eml::ScoreOptions(), outcome, error);
    _exit(rc == 0 && outcome == eml::ModelStore::Outcome::kLearned ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(host().Run(kTarget, ASEML_VERB_SCAN).verdict, 1);
  // And this process learns on top of that save rather than over it.
  Outcome again = host().Run(kTarget, ASEML_VERB_LEARN_SPAM);
  EXPECT_EQ(again.result, "unchanged");
  EXPECT_EQ(again.spam, 2u);
}

// Two processes learn different messages into one file at the same time;
// every message must be in the model afterwards.
TEST(LearningProcesses, TwoProcessesLearningAtOnceBothCount) {
  TempDir dir;
  const std::string model = dir / "model";
  const int kEach = 40;
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  std::vector<pid_t> children;
  for (int child = 0; child < 2; ++child) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      char c;
      close(go[1]);
      if (StartCore(model) != 0) _exit(100);
      int failures = 0;
      {
        Host h;  // both processes are ready before either learns
        if (read(go[0], &c, 1) != 1) _exit(101);
        for (int i = 0; i < kEach; ++i) {
          std::string msg = "Subject: message " + std::to_string(i) + "\n\nbody of process " + std::to_string(child) +
                            " number " + std::to_string(i) + "\n";
          failures += h.Run(msg, child ? ASEML_VERB_LEARN_HAM : ASEML_VERB_LEARN_SPAM).result != "learned";
        }
      }
      as_core_instance_release();
      _exit(failures);
    }
    children.push_back(pid);
  }
  close(go[0]);
  ASSERT_EQ(write(go[1], "gg", 2), 2);
  close(go[1]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  eml::ModelData data;
  eml::FileStamp stamp;
  std::string error;
  ASSERT_TRUE(eml::ReadModelFile(model, data, stamp, error)) << error;
  EXPECT_EQ(data.model->messages(eml::Label::kSpam), static_cast<uint64_t>(kEach));
  EXPECT_EQ(data.model->messages(eml::Label::kHam), static_cast<uint64_t>(kEach));
  EXPECT_EQ(data.learned.size(), 2u * kEach);
}

}  // namespace
