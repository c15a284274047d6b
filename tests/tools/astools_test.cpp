// The shared tool library on real files, FIFOs and links: the walker, the
// bounded reader, the verdict header fields, JSON lines and settings.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "input.h"
#include "json.h"
#include "settings.h"
#include "spamheaders.h"
#include "walk.h"

namespace {

class TempDir {
 public:
  TempDir() {
    char t[] = "/tmp/astools_testXXXXXX";
    path_ = ::mkdtemp(t);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  const std::string& path() const { return path_; }
  std::string Put(const std::string& rel, const std::string& bytes = "x") const {
    std::string p = path_ + "/" + rel;
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }
  void Dir(const std::string& rel) const { ::mkdir((path_ + "/" + rel).c_str(), 0755); }
  void Link(const std::string& target, const std::string& rel) const {
    ASSERT_EQ(::symlink(target.c_str(), (path_ + "/" + rel).c_str()), 0);
  }

 private:
  std::string path_;
};

// "f:rel" for a file, "e:rel" for an error entry, "-" for standard input.
std::vector<std::string> Walk(const TempDir& d, const std::vector<std::string>& roots, astools::WalkOptions o) {
  std::vector<std::string> full, out;
  for (const std::string& r : roots) full.push_back(r == "-" ? r : d.path() + "/" + r);
  std::vector<astools::Input> inputs;
  astools::ExpandPaths(full, o, inputs);
  for (const astools::Input& in : inputs) {
    if (in.kind == astools::Input::kStdin) {
      out.push_back("-");
      continue;
    }
    EXPECT_EQ(in.kind == astools::Input::kError, !in.error.empty()) << in.path;
    out.push_back((in.kind == astools::Input::kError ? "e:" : "f:") + in.path.substr(d.path().size() + 1));
  }
  return out;
}

TEST(Walker, FollowsTheRulesForLinksSpecialFilesAndMaildirs) {
  TempDir d;
  d.Dir("box");
  d.Put("box/a.eml");
  d.Put("box/.hidden");
  d.Put("box/notes.txt");
  d.Dir("box/tmp");  // not a Maildir: walked
  d.Put("box/tmp/t.eml");
  d.Dir("md");
  d.Dir("md/cur");
  d.Dir("md/new");
  d.Dir("md/tmp");  // a Maildir's: skipped
  d.Put("md/new/1");
  d.Put("md/tmp/partial");
  d.Dir("loop");
  d.Put("loop/m.eml");
  d.Link(".", "loop/self");
  d.Link("../md", "loop/other");
  d.Dir("loop/sub");
  d.Link("..", "loop/sub/up");
  d.Link("m.eml", "loop/alias.eml");
  d.Link("missing", "loop/dangling.eml");
  d.Dir("odd");
  ASSERT_EQ(::mkfifo((d.path() + "/odd/fifo.eml").c_str(), 0600), 0);
  d.Link("/dev/zero", "odd/zero.eml");

  astools::WalkOptions plain, glob, follow, special;
  glob.glob = "*.eml";
  follow.follow_links = true;
  special.read_special = true;
  struct Case {
    const char* what;
    std::vector<std::string> roots;
    astools::WalkOptions options;
    std::vector<std::string> want;
  } cases[] = {
      {"hidden skipped, tmp walked outside a Maildir", {"box"}, plain, {"f:box/a.eml", "f:box/notes.txt", "f:box/tmp/t.eml"}},
      {"glob on names", {"box"}, glob, {"f:box/a.eml", "f:box/tmp/t.eml"}},
      {"Maildir tmp skipped", {"md"}, plain, {"f:md/new/1"}},
      {"links to folders not walked; dangling link is an error",
       {"loop"}, plain, {"f:loop/alias.eml", "e:loop/dangling.eml", "f:loop/m.eml"}},
      {"followed links are walked, and end at folders already walked",
       {"loop"}, follow, {"f:loop/alias.eml", "e:loop/dangling.eml", "f:loop/m.eml", "f:loop/other/new/1"}},
      {"special files inside folders are errors even when allowed", {"odd"}, special, {"e:odd/fifo.eml", "e:odd/zero.eml"}},
      {"a named FIFO is an error unless allowed", {"odd/fifo.eml"}, plain, {"e:odd/fifo.eml"}},
      {"a named FIFO is read when allowed", {"odd/fifo.eml"}, special, {"f:odd/fifo.eml"}},
      {"a missing root is an error; - is standard input", {"nowhere", "-"}, plain, {"e:nowhere", "-"}},
      {"the same folder twice is walked once", {"md", "md"}, plain, {"f:md/new/1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Walk(d, c.roots, c.options), c.want);
  }
}

struct Got {
  std::vector<std::string> messages;
  std::vector<bool> truncated;
  bool last_flag_on_last = false;
};

Got ReadAll(const TempDir& d, const std::string& bytes, size_t cap) {
  std::string path = d.Put("in", bytes);
  std::string err;
  int fd = astools::OpenInputFile(path, false, err);
  EXPECT_GE(fd, 0) << err;
  astools::MessageReader r(fd, cap);
  astools::Message m;
  Got g;
  while (r.Next(m)) {
    EXPECT_EQ(m.index, g.messages.size() + 1);
    EXPECT_LE(m.bytes.size(), cap);
    g.messages.push_back(m.bytes);
    g.truncated.push_back(m.truncated);
    g.last_flag_on_last = m.last;
  }
  EXPECT_EQ(r.error(), "");
  ::close(fd);
  return g;
}

TEST(MessageReader, SplitsMboxesAndCapsEachMessage) {
  TempDir d;
  const std::string sep1 = "From a@b Thu Aug 22 12:36:23 2002\n", sep2 = "From c@d Fri Aug 23 01:02:03 2002\n";
  const std::string body_from = "From here on, a body line\n";
  const std::string long_line(5000, 'y');
  struct Case {
    const char* what;
    std::string bytes;
    size_t cap;
    std::vector<std::string> want;
    std::vector<bool> truncated;
  } cases[] = {
      {"no bytes: one empty message", "", 100, {""}, {false}},
      {"exactly the cap", "12345", 5, {"12345"}, {false}},
      {"one byte over the cap", "123456", 5, {"12345"}, {true}},
      {"a long line without end", long_line, 100, {long_line.substr(0, 100)}, {true}},
      {"mbox of three", sep1 + "S: 1\n\nx\n" + sep2 + "S: 2\n" + sep1, 1000,
       {sep1 + "S: 1\n\nx\n", sep2 + "S: 2\n", sep1}, {false, false, false}},
      {"a body line starting with From does not split", sep1 + body_from + "z\n", 1000, {sep1 + body_from + "z\n"}, {false}},
      {"an over-long mbox message is cut, the next is whole", sep1 + long_line + "\n" + sep2 + "ok\n", 100,
       {(sep1 + long_line).substr(0, 100), sep2 + "ok\n"}, {true, false}},
      {"a separator only after a long line piece does not split", sep1 + long_line + sep2, 10000,
       {sep1 + long_line + sep2}, {false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Got g = ReadAll(d, c.bytes, c.cap);
    EXPECT_EQ(g.messages, c.want);
    EXPECT_EQ(g.truncated, c.truncated);
    EXPECT_TRUE(g.last_flag_on_last);
  }
}

TEST(ReadBounded, KeepsTheBytesPastTheCapForPassingOn) {
  TempDir d;
  std::string path = d.Put("in", "abcdefgh");
  for (size_t cap : {3u, 8u, 20u}) {
    SCOPED_TRACE(cap);
    int fd = ::open(path.c_str(), O_RDONLY);
    std::string head, extra, err;
    bool truncated = true;
    ASSERT_TRUE(astools::ReadBounded(fd, cap, head, truncated, err, &extra));
    std::string rest;
    char buf[16];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) rest.append(buf, static_cast<size_t>(n));
    ::close(fd);
    EXPECT_EQ(truncated, cap < 8);
    EXPECT_EQ(head + extra + rest, "abcdefgh");
    EXPECT_EQ(head, std::string("abcdefgh").substr(0, cap));
  }
}

TEST(SpamHeaders, AddsFieldsAtTheHeaderEndAndLeavesTheBodyAlone) {
  astools::ScanResult spam;
  spam.verdict = astools::ScanResult::kSpam;
  spam.score = 0.9731;
  spam.threshold = 0.6;
  spam.rules = {"missing-date"};
  const std::string f = "X-Spam-Flag: YES\nX-Spam-Score: 0.973\n"
                        "X-Spam-Status: Yes, score=0.973 required=0.600 tests=missing-date\n";
  std::string crlf = f;
  for (size_t p = 0; (p = crlf.find('\n', p)) != std::string::npos; p += 2) crlf.replace(p, 1, "\r\n");
  struct Case {
    const char* what;
    std::string in;
    bool complete;
    std::string want;
  } cases[] = {
      {"plain", "Subject: a\n\nbody\n", true, "Subject: a\n" + f + "\nbody\n"},
      {"CRLF message", "Subject: a\r\n\r\nbody\r\n", true, "Subject: a\r\n" + crlf + "\r\nbody\r\n"},
      {"a forged flag and its folded lines go", "X-Spam-Flag: NO\n  still\nx-spam-status: No\nTo: b\n\nbody",
       true, "To: b\n" + f + "\nbody"},
      {"mbox From line stays first", "From a Mon Jan  1 00:00:00 2024\nS: 1\n\nb", true,
       "From a Mon Jan  1 00:00:00 2024\nS: 1\n" + f + "\nb"},
      {"no header section: fields and a blank line before the body", "just text\n", true, f + "\njust text\n"},
      {"all header, no end of line", "Subject: a", true, "Subject: a\n" + f},
      {"header runs past the head: fields at the top", "Subject: a\nX-Spam-Flag: NO\nTo: b", false,
       f + "Subject: a\nX-Spam-Flag: NO\nTo: b"},
      {"a From line without its end is text", "From a", true, f + "\nFrom a"},
      {"a From line cut at the cap: fields at the top", "From aaaa", false, f + "From aaaa"},
      {"body cut at the cap is kept as it is", "Subject: a\n\nbody cut", false, "Subject: a\n" + f + "\nbody cut"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(astools::AddSpamHeaders(c.in, c.complete, spam), c.want);
  }
  astools::ScanResult empty;
  empty.verdict = astools::ScanResult::kEmpty;
  EXPECT_EQ(astools::AddSpamHeaders("", true, empty),
            "X-Spam-Flag: NO\nX-Spam-Score: 0.000\nX-Spam-Status: No, empty message\n");
}

TEST(SpamHeaders, FoldsLongStatusLines) {
  astools::ScanResult r;
  r.verdict = astools::ScanResult::kHam;
  for (int i = 0; i < 12; ++i) r.rules.push_back("rule-number-" + std::to_string(i));
  std::string out = astools::AddSpamHeaders("S: a\n\nb", true, r);
  size_t start = 0, lines = 0;
  for (size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1, ++lines)
    EXPECT_LE(nl - start, 80u) << out.substr(start, nl - start);
  EXPECT_GT(lines, 5u);
  EXPECT_NE(out.find("\n\trule-number-"), std::string::npos);
  EXPECT_NE(out.find("rule-number-11\n\nb"), std::string::npos);
}

// A milter adds the fields one by one; the message must end up as filter writes it.
TEST(SpamHeaders, FieldsOneByOneGiveTheFilterText) {
  for (int rules : {0, 12}) {
    SCOPED_TRACE(rules);
    astools::ScanResult r;
    r.verdict = astools::ScanResult::kSpam;
    for (int i = 0; i < rules; ++i) r.rules.push_back("rule-number-" + std::to_string(i));
    std::string joined;
    for (const auto& f : astools::SpamHeaderFields(r)) joined += f.first + ": " + f.second + "\n";
    EXPECT_EQ(astools::AddSpamHeaders("S: a\n\nb", true, r), "S: a\n" + joined + "\nb");
  }
}

TEST(JsonLine, AnyFileNameGivesValidJson) {
  const std::string names[] = {"plain.eml", "caf\xc3\xa9", "bad\xff\xfe", "quote\"back\\slash\ttab", "\xed\xa0\x80surrogate"};
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    astools::JsonLine j;
    j.AddPath("path", name);
    j.Add("score", 0.1234567, 3);
    std::string line = j.Line();
    ASSERT_EQ(line.back(), '\n');
    nlohmann::json v = nlohmann::json::parse(line);  // throws on invalid JSON
    EXPECT_EQ(v["score"].get<double>(), 0.123);
    bool utf8 = name.find('\xff') == std::string::npos && name.find('\xed') == std::string::npos;
    EXPECT_EQ(v.contains("path_hex"), !utf8);
    if (utf8) {
      EXPECT_EQ(v["path"].get<std::string>(), name);
    } else {
      std::string hex = v["path_hex"].get<std::string>(), back;
      for (size_t i = 0; i + 1 < hex.size(); i += 2) back.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
      EXPECT_EQ(back, name);
    }
  }
}

TEST(Settings, RefusesUnknownKeysWithWhereTheyCameFrom) {
  TempDir d;
  struct Case {
    const char* what;
    std::string ini;
    std::string error;  // empty: accepted
  } cases[] = {
      {"sections prefix keys", "; c\n[EmlVerdictPerformer]\nSpamThreshold = 0.7\n", ""},
      {"full paths and Enabled", "/eml/EmlUrlFilter/Weight=3\nEmlBreaker/Enabled=1\n", ""},
      {"misspelt key, line named", "\n[EmlVerdictPerformer]\nSpamTreshold = 0.7\n", ":3: unknown setting 'EmlVerdictPerformer/SpamTreshold'"},
      {"no value separator", "[EmlBayesFilter]\nModelPath\n", ":2: expected key = value"},
      {"open section", "[EmlBayesFilter\n", ":1: unterminated section"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    astools::Settings s;
    std::string err;
    bool ok = s.LoadIni(d.Put("c.ini", c.ini), err);
    EXPECT_EQ(ok, c.error.empty());
    if (!c.error.empty()) {
      EXPECT_NE(err.find(c.error), std::string::npos) << err;
    }
  }
  astools::Settings s;
  std::string err;
  ASSERT_TRUE(s.AddKeyValue("EmlVerdictPerformer/SpamThreshold=0.7", err));
  ASSERT_TRUE(s.AddKeyValue("/eml/EmlVerdictPerformer/SpamThreshold = 0.8", err));
  ASSERT_EQ(s.items().size(), 1u);
  EXPECT_EQ(*s.Find("/eml/EmlVerdictPerformer/SpamThreshold"), "0.8");
  EXPECT_FALSE(s.AddKeyValue("EmlVerdictPerformer/SpamThreshold", err));
}

}  // namespace
