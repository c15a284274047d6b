// The reference mail plug-ins through the exported core interface, with the
// real aseml.mdl opened by the loader. Each test runs in its own process
// (gtest_discover_tests), so each may create and release the one instance.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ascore/ascore.h"
#include "ascore/aseml.h"
#include "bayes.h"
#include "model_store.h"
#include "tokens.h"

namespace {

class EmlCore : public testing::Test {
protected:
  void SetUp() override { ASSERT_EQ(as_core_instance_init(ASEML_MODULES_DIR, AS_PRODUCT_EML), 0) << as_core_errmsg(); }
  void TearDown() override {
    if (session_) as_core_session_release(session_);
    as_core_instance_release();
  }
  // Applies the global and then the session settings; returns the first failure.
  int Start() {
    int rc = as_core_settings_apply(nullptr);
    session_ = as_core_session_create();
    if (!session_) return -1;
    int rs = as_core_settings_apply(session_);
    return rc ? rc : rs;
  }
  struct Result {
    int rc = 0;
    std::string error;
    int verdict = -1;
    double score = -1, header = 0, bayes = -1;
    int anomalies = 0, tokens = 0, urls = 0;
    std::vector<std::string> rules, hits, deciding;
    std::string bayes_status;
  };
  static std::vector<std::string> Strings(as_blackbox_t* bb, uint32_t key) {
    size_t n = 0;
    if (!as_blackbox_get(bb, key, BB_TYPE_STRING_ARRAY, nullptr, &n)) return {};
    std::vector<const char*> p(n);
    as_blackbox_get(bb, key, BB_TYPE_STRING_ARRAY, p.data(), &n);
    return std::vector<std::string>(p.begin(), p.begin() + static_cast<long>(n));
  }
  Result Scan(const std::string& raw, uint32_t verb = ASEML_VERB_SCAN) {
    as_item_descriptor_t d{reinterpret_cast<int64_t>(raw.data()), static_cast<int64_t>(raw.size()),
                           ASEML_ENTITY_MAIL, ASEML_SOURCE_BUFFER};
    return Run(d, verb);
  }
  Result Run(const as_item_descriptor_t& d, uint32_t verb) {
    Result r;
    as_item_t* item = as_core_item_create(session_, &d);
    if (!item) {
      r.rc = as_core_err();
      r.error = as_core_errmsg();
      return r;
    }
    as_blackbox_t* bb = as_blackbox_create();
    r.rc = as_core_item_process(session_, item, verb, bb);
    if (r.rc) r.error = as_core_errmsg();
    as_blackbox_get(bb, ASEML_BB_VERDICT, BB_TYPE_INT, &r.verdict, -1);
    as_blackbox_get(bb, ASEML_BB_SCORE, BB_TYPE_DOUBLE, &r.score, -1.0);
    as_blackbox_get(bb, ASEML_BB_HEADER_SCORE, BB_TYPE_DOUBLE, &r.header, 0.0);
    as_blackbox_get(bb, ASEML_BB_BAYES_SCORE, BB_TYPE_DOUBLE, &r.bayes, -1.0);
    as_blackbox_get(bb, ASEML_BB_ANOMALIES, BB_TYPE_INT, &r.anomalies, 0);
    as_blackbox_get(bb, ASEML_BB_TOKEN_COUNT, BB_TYPE_INT, &r.tokens, 0);
    as_blackbox_get(bb, ASEML_BB_URLS, BB_TYPE_INT, &r.urls, 0);
    const char* st = nullptr;
    as_blackbox_get(bb, ASEML_BB_BAYES_STATUS, BB_TYPE_STRING, &st);
    r.bayes_status = st ? st : "";
    r.rules = Strings(bb, ASEML_BB_HEADER_RULES);
    r.hits = Strings(bb, ASEML_BB_LIST_HITS);
    r.deciding = Strings(bb, ASEML_BB_BAYES_TOKENS);
    EXPECT_EQ(as_core_item_release(session_, item), 0);
    as_blackbox_release(bb);
    return r;
  }
  as_session_t* session_ = nullptr;
};

const char kHam[] =
    "From: Alice <alice@example.org>\nTo: bob@example.net\nDate: Wed, 04 Sep 2024 09:12:44 +0200\n"
    "Message-ID: <1@example.org>\nSubject: build meeting notes\nContent-Type: text/plain; charset=utf-8\n\n"
    "the nightly build moves to the second machine, see http://wiki.example.org/build\n";
const char kSpam[] =
    "From: deals@cheap-meds.example\nSubject: CHEAP MEDS ONLINE SAVE NOW!!\n"
    "Content-Type: text/html; charset=windows-1252\nContent-Transfer-Encoding: quoted-printable\n\n"
    "<p>Buy now =96 <a href=3D\"http://cheap-meds.example/buy\">click here</a> viagra</p>\n";

std::string WriteModel() {
  eml::BayesModel m;
  eml::LearnedMessages learned;
  eml::TokenSet spam, ham;
  for (const char* w : {"viagra", "click", "here", "buy", "now"}) spam.Add("", w);
  for (const char* w : {"build", "meeting", "notes", "nightly", "machine"}) ham.Add("", w);
  spam.Finish();
  ham.Finish();
  for (int i = 0; i < 5; ++i) {
    m.Learn(spam, true);
    m.Learn(ham, false);
  }
  std::string path = testing::TempDir() + "/eml_plugin_model.bin";
  std::string err;
  EXPECT_TRUE(eml::WriteModelFile(path, m, learned, true, err)) << err;
  return path;
}

}  // namespace

TEST_F(EmlCore, ScansWithoutModelAndSaysWhy) {
  ASSERT_EQ(Start(), 0) << as_core_errmsg();
  Result ham = Scan(kHam), spam = Scan(kSpam);
  ASSERT_EQ(ham.rc, 0) << ham.error;
  EXPECT_EQ(ham.verdict, 0);
  EXPECT_TRUE(ham.rules.empty());
  EXPECT_EQ(spam.verdict, 1);
  EXPECT_GT(spam.header, 2.0);
  EXPECT_NE(std::find(spam.rules.begin(), spam.rules.end(), "subject-shouting"), spam.rules.end());
  EXPECT_NE(spam.bayes_status.find("no model"), std::string::npos);
  EXPECT_EQ(spam.bayes, -1);  // no Bayes score without a model
}

TEST_F(EmlCore, BayesModelDecidesAndReportsTokens) {
  std::string model = WriteModel();
  as_core_setting_set(nullptr, "/eml/EmlBayesFilter/ModelPath", model.c_str());
  as_core_setting_set(nullptr, "/eml/EmlHeaderFilter/Weight", "0");
  ASSERT_EQ(Start(), 0) << as_core_errmsg();
  Result ham = Scan(kHam), spam = Scan(kSpam);
  EXPECT_EQ(ham.bayes_status, "ok");
  // Five decisive tokens are modest evidence: clearly on each side of 0.5,
  // not at the extremes.
  EXPECT_LT(ham.bayes, 0.4);
  EXPECT_GT(spam.bayes, 0.6);
  EXPECT_EQ(ham.verdict, 0);
  EXPECT_EQ(spam.verdict, 1);
  ASSERT_FALSE(spam.deciding.empty());
  EXPECT_NE(spam.deciding[0].find('='), std::string::npos);
  std::remove(model.c_str());
}

TEST_F(EmlCore, MissingOrCorruptModelIsReportedPerMessage) {
  std::string bad = testing::TempDir() + "/eml_corrupt_model.bin";
  FILE* f = std::fopen(bad.c_str(), "wb");
  std::fputs("ASEMLMDL but nothing else", f);
  std::fclose(f);
  as_core_setting_set(nullptr, "/eml/EmlBayesFilter/ModelPath", bad.c_str());
  ASSERT_EQ(Start(), 0) << as_core_errmsg();
  Result r = Scan(kHam);
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.verdict, 0);
  EXPECT_NE(r.bayes_status.find("model not loaded"), std::string::npos) << r.bayes_status;
  std::remove(bad.c_str());
}

TEST_F(EmlCore, BadSettingsAreRejectedWithTheKeyNamed) {
  as_core_setting_set(nullptr, "/eml/EmlVerdictPerformer/SpamThreshold", "1.5");
  as_core_setting_set(nullptr, "/eml/EmlUrlFilter/BlockDomains", "ok.example, not/a/domain");
  int rc = Start();
  EXPECT_NE(rc, 0);
  std::string msg = as_core_errmsg();
  EXPECT_NE(msg.find("SpamThreshold"), std::string::npos) << msg;
  EXPECT_NE(msg.find("not/a/domain"), std::string::npos) << msg;
  // A performer that refused its threshold decides nothing with the default.
  Result r = Scan(kSpam);
  EXPECT_NE(r.rc, 0);
  EXPECT_EQ(r.verdict, -1);
  EXPECT_NE(r.error.find("settings were refused"), std::string::npos) << r.error;
}

TEST_F(EmlCore, UnsureBandLiesBelowTheSpamThreshold) {
  as_core_setting_set(nullptr, "/eml/EmlVerdictPerformer/UnsureThreshold", "0.7");
  EXPECT_NE(Start(), 0);
  EXPECT_NE(std::string(as_core_errmsg()).find("UnsureThreshold"), std::string::npos) << as_core_errmsg();
  as_core_session_release(session_);
  as_core_setting_set(nullptr, "/eml/EmlVerdictPerformer/UnsureThreshold", "0.4");
  ASSERT_EQ(Start(), 0) << as_core_errmsg();
  // Without a model the plain ham scores near 0.5: inside the band.
  Result ham = Scan(kHam), spam = Scan(kSpam);
  EXPECT_GT(ham.score, 0.4);
  EXPECT_EQ(ham.verdict, 3);
  EXPECT_EQ(spam.verdict, 1);
}

TEST_F(EmlCore, DomainListsFromSettings) {
  as_core_setting_set(nullptr, "/eml/EmlUrlFilter/BlockDomains", "cheap-meds.example");
  as_core_setting_set(nullptr, "/eml/EmlUrlFilter/AllowSenders", "example.org");
  ASSERT_EQ(Start(), 0) << as_core_errmsg();
  Result spam = Scan(kSpam), ham = Scan(kHam);
  ASSERT_FALSE(spam.hits.empty());
  EXPECT_EQ(spam.hits[0], "block:cheap-meds.example");
  EXPECT_EQ(spam.verdict, 1);
  ASSERT_EQ(ham.hits.size(), 1u);
  EXPECT_EQ(ham.hits[0], "allow-sender:example.org");
  EXPECT_LT(ham.score, 0.01);
}

TEST_F(EmlCore, ModuleSwitchedOffForTheSession) {
  ASSERT_EQ(as_core_settings_apply(nullptr), 0);
  session_ = as_core_session_create();
  ASSERT_NE(session_, nullptr);
  as_core_setting_set(session_, "/eml/EmlHeaderFilter/Enabled", "0");
  as_core_settings_apply(session_);
  Result r = Scan(kSpam);
  EXPECT_EQ(r.rc, 0) << r.error;
  EXPECT_TRUE(r.rules.empty());
  EXPECT_DOUBLE_EQ(r.header, 0.0);
  EXPECT_EQ(r.verdict, 0);  // no header evidence, no model: unsure stays ham
}

TEST_F(EmlCore, ParseVerbOpensEveryLevel) {
  ASSERT_EQ(Start(), 0);
  std::string mime =
      "Subject: =?utf-8?B?w6k=?=\nContent-Type: multipart/alternative; boundary=\"b\"\n\n--b\n"
      "Content-Type: text/plain; charset=iso-8859-1\nContent-Transfer-Encoding: quoted-printable\n\ncaf=E9 "
      "http://a.example/\n--b\nContent-Type: text/html\n\n<a href='http://b.example/'>x</a>\n";  // unclosed
  Result r = Scan(mime, ASEML_VERB_PARSE);
  ASSERT_EQ(r.rc, 0) << r.error;
  EXPECT_EQ(r.verdict, -1);  // parsing alone gives no verdict
  EXPECT_GT(r.tokens, 5);
  EXPECT_EQ(r.urls, 2);
  EXPECT_NE(r.anomalies & 8, 0);  // unclosed multipart noted
}

TEST_F(EmlCore, HostileInputNeverFailsTheRun) {
  ASSERT_EQ(Start(), 0);
  std::vector<std::string> inputs = {
      std::string(1, '\0'), std::string(300000, 'A'),  // one huge line
      "Content-Type: multipart/mixed; boundary=x\n\n--x\nContent-Transfer-Encoding: base64\n\n@@@@",
      "Subject: \xff\xfe\xc0\x80 invalid\n\n\xed\xa0\x80\xf8\x88\x80\x80\x80", "\n\nx"};
  for (const std::string& in : inputs) {
    Result r = Scan(in);
    EXPECT_EQ(r.rc, 0) << r.error;
    EXPECT_TRUE(r.verdict == 0 || r.verdict == 1);
  }
}

TEST_F(EmlCore, EmptyMessagesGetTheirOwnVerdict) {
  ASSERT_EQ(Start(), 0);
  for (const char* in : {"", " \r\n\t\n", "From a@b Thu Aug 22 12:36:23 2002\n", "From a@b Thu Aug 22 12:36:23 2002\n\n"}) {
    SCOPED_TRACE(in);
    Result r = Scan(in);
    ASSERT_EQ(r.rc, 0) << r.error;
    EXPECT_EQ(r.verdict, 2);
    EXPECT_EQ(r.score, 0.0);
  }
}

TEST_F(EmlCore, StreamSourcesAndTheirErrors) {
  ASSERT_EQ(Start(), 0);
  std::string path = testing::TempDir() + "/eml_plugin_msg.eml";
  FILE* f = std::fopen(path.c_str(), "wb");
  std::fputs(kSpam, f);
  std::fclose(f);
  as_item_descriptor_t d{reinterpret_cast<int64_t>(path.c_str()), 0, ASEML_ENTITY_MAIL, ASEML_SOURCE_FILE};
  EXPECT_EQ(Run(d, ASEML_VERB_SCAN).verdict, 1);
  std::string missing = path + ".missing";
  d.stream_param1 = reinterpret_cast<int64_t>(missing.c_str());
  Result r = Run(d, ASEML_VERB_SCAN);
  EXPECT_EQ(r.rc, -101);
  EXPECT_NE(r.error.find("cannot open"), std::string::npos) << r.error;
  as_item_descriptor_t b{0, -5, ASEML_ENTITY_MAIL, ASEML_SOURCE_BUFFER};
  EXPECT_EQ(Run(b, ASEML_VERB_SCAN).rc, -101);
  as_item_descriptor_t u{0, 0, ASEML_ENTITY_MAIL, 77};
  EXPECT_EQ(Run(u, ASEML_VERB_SCAN).rc, -101);
  Result verb = Scan(kHam, 99);
  EXPECT_NE(verb.error.find("unknown verb"), std::string::npos) << verb.error;
  std::remove(path.c_str());
}
