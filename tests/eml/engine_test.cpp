// Unit tests of the mail content engine: decoding, MIME, HTML, tokens, Bayes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "analyzer.h"
#include "bayes.h"
#include "codec.h"
#include "html.h"
#include "mbox.h"
#include "mime.h"
#include "model.h"
#include "model_store.h"
#include "rules.h"
#include "text.h"
#include "tokens.h"

using namespace eml;

namespace {

std::string B64(std::string_view in) {
  std::string out;
  DecodeBase64(in, out);
  return out;
}

std::string QP(std::string_view in) {
  std::string out;
  DecodeQuotedPrintable(in, out);
  return out;
}

std::string Utf8(std::string_view in, std::string_view cs) {
  std::string out;
  ToUtf8(in, cs, out);
  return out;
}

bool HasToken(const TokenSet& ts, std::string_view text) {
  for (const Token& t : ts.tokens())
    if (ts.Text(t) == text) return true;
  return false;
}

// An encoded word carrying `bytes` in the Q encoding, every byte escaped.
std::string QWord(std::string_view charset, std::string_view bytes) {
  std::string w = "=?" + std::string(charset) + "?Q?";
  char hex[4];
  for (unsigned char b : bytes) {
    std::snprintf(hex, sizeof hex, "=%02X", b);
    w += hex;
  }
  return w + "?=";
}

TokenSet TokensOf(const std::string& raw) {
  Analysis a;
  Analyze(raw, a);
  return a.tokens;
}

}  // namespace

TEST(Codec, Base64SkipsJunkAndStopsAtPadding) {
  EXPECT_EQ(B64("aGVsbG8="), "hello");
  EXPECT_EQ(B64("aGVs\r\nbG8gd29y\nbGQ="), "hello world");
  EXPECT_EQ(B64("aG!!Vs*bG8="), "hello");
  EXPECT_EQ(B64("aGVsbG8=IGlnbm9yZWQ="), "hello");
  EXPECT_EQ(B64("a"), "");  // a lone sextet makes no byte
}

TEST(Codec, QuotedPrintableSoftBreaksAndBadEscapes) {
  EXPECT_EQ(QP("caf=C3=A9"), "caf\xC3\xA9");
  EXPECT_EQ(QP("long=\r\nline= \nend"), "longlineend");
  EXPECT_EQ(QP("100=%"), "100=%");
  EXPECT_EQ(QP("x=4"), "x=4");
  EXPECT_EQ(QP("trailing="), "trailing");
  std::string q;
  DecodeQuotedPrintable("a_b=5Fc", q, true);
  EXPECT_EQ(q, "a b_c");
}

TEST(Codec, CharsetsBecomeValidUtf8) {
  EXPECT_EQ(Utf8("Gr\xFC\xDF", "ISO-8859-1"), "Gr\xC3\xBC\xC3\x9F");
  EXPECT_EQ(Utf8("\x80 \x93x\x94", "windows-1252"), "\xE2\x82\xAC \xE2\x80\x9Cx\xE2\x80\x9D");
  EXPECT_EQ(Utf8("\xA4", "iso-8859-15"), "\xE2\x82\xAC");
  EXPECT_EQ(Utf8("\xA4", "iso-8859-1"), "\xC2\xA4");
  // Invalid UTF-8 (stray continuation, truncated sequence, overlong, surrogate).
  std::string bad = Utf8("a\x80z\xE2\x82\xC0\xAF\xED\xA0\x80", "utf-8");
  EXPECT_TRUE(IsValidUtf8(bad));
  EXPECT_EQ(bad.substr(0, 1), "a");
  EXPECT_NE(bad.find('z'), std::string::npos);
  // Unknown charsets pass through as sanitised bytes.
  EXPECT_TRUE(IsValidUtf8(Utf8("\xB0\xA1\xC4\xE3", "x-unknown-charset")));
  EXPECT_EQ(Utf8("plain", "koi8-r"), "plain");
}

// One small message per charset family: the subject as an encoded word and
// the body as 8-bit text in that charset must both come out as the text.
TEST(Codec, CharsetFamiliesThroughTheEngine) {
  struct Row {
    const char* charset;
    const char* bytes;
    const char* text;
  };
  const Row rows[] = {
      {"KOI8-R", "\xF0\xD2\xC9\xD7\xC5\xD4", "Привет"},
      {"windows-1251", "\xCF\xF0\xE8\xE2\xE5\xF2", "Привет"},
      {"ISO-8859-5", "\xBF\xE0\xD8\xD2\xD5\xE2", "Привет"},
      {"ISO-8859-2", "\xA3\xF3\x64\xBC", "Łódź"},
      {"ISO-8859-7", "\xCA\xE1\xEB\xE7\xEC\xDD\xF1\xE1", "Καλημέρα"},
      {"windows-1255", "\xF9\xEC\xE5\xED", "שלום"},
      {"windows-1256", "\xE3\xD1\xCD\xC8\xC7", "مرحبا"},
      {"ISO-8859-9", "\xDD\x73\x74\x61\x6E\x62\x75\x6C", "İstanbul"},
      {"TIS-620", "\xCA\xC7\xD1\xCA\xB4\xD5", "สวัสดี"},
      {"GB2312", "\xC4\xE3\xBA\xC3\xCA\xC0\xBD\xE7", "你好世界"},
      {"GBK", "\xE9\x46", "镕"},
      {"GB18030", "\x95\x32\x82\x36\xC4\xE3", "𠀀你"},
      {"Big5", "\xC1\x63\xC5\xE9\xA4\xA4\xA4\xE5", "繁體中文"},
      {"ISO-2022-JP", "\x1B\x24\x42\x24\x33\x24\x73\x24\x4B\x24\x41\x24\x4F\x1B\x28\x42", "こんにちは"},
      {"EUC-JP", "\xC6\xFC\xCB\xDC\xB8\xEC", "日本語"},
      {"Shift_JIS", "\x93\xFA\x96\x7B\x8C\xEA", "日本語"},
      {"EUC-KR", "\xBE\xC8\xB3\xE7\xC7\xCF\xBC\xBC\xBF\xE4", "안녕하세요"},
      {"ks_c_5601-1987", "\x8C\x63\xB9\xE6\xB0\xA2\xC7\xCF", "똠방각하"},  // a Windows-949 extension
      {"UTF-7", "\x5A\x2B\x41\x50\x77\x2D\x72\x69\x63\x68", "Zürich"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.charset);
    std::string raw = "Subject: " + QWord(r.charset, r.bytes) + "\nContent-Type: text/plain; charset=\"" +
                      r.charset + "\"\nContent-Transfer-Encoding: 8bit\n\nstart " + r.bytes + " end\n";
    Analysis a;
    Analyze(raw, a);
    EXPECT_EQ(a.text.subject, r.text);
    EXPECT_NE(a.text.body.find(std::string("start ") + r.text + " end"), std::string::npos) << a.text.body;
  }
}

TEST(Codec, CharsetLabelsFallbacksAndUndecodableBytes) {
  struct Row {
    const char* charset;
    const char* in;
    const char* out;
  };
  const Row rows[] = {
      // Labels as mailers write them: quotes, blanks, case, aliases.
      {" \"KOI8-R\" ", "\xF0\xD2\xC9", "При"},
      {"'koi8-r'", "\xF0\xD2\xC9", "При"},
      {"x-cp1251", "\xCF\xF0\xE8", "При"},
      {"Win-1251", "\xCF\xF0\xE8", "При"},
      {"x-sjis", "\x93\xFA", "日"},
      {"CSISO2022JP", "\x1B$B$3\x1B(B", "こ"},
      {"iso_8859-7", "\xE1", "α"},
      {"ISO-8859-1", "\x93q\x94", "“q”"},  // read as Windows-1252
      // Bytes the charset cannot decode, and a character cut off at the end.
      {"shift_jis", "\x93\xFA\xFF!", "日\uFFFD!"},
      {"gb2312", "\xC4\xE3\xBA", "你\uFFFD"},
      {"iso-2022-jp", "\x1B$B$3\x1B(B\xE9z", "こ\uFFFDz"},
      {"utf-8", "caf\xE9", "caf\uFFFD"},
      // No, plain or unknown charset: UTF-8 where valid, else Windows-1252.
      {"", "caf\xE9 \x80", "café €"},
      {"us-ascii", "na\xEFve", "naïve"},
      {"x-no-such-charset", "caf\xC3\xA9", "café"},
      {"x-no-such-charset", "caf\xE9", "café"},
      {"utf-8//IGNORE", "caf\xE9", "café"},  // not passed to iconv as an option
      {"../../tmp/x", "caf\xE9", "café"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.charset);
    EXPECT_EQ(Utf8(r.in, r.charset), r.out);
  }
}

// iconv descriptors carry shift state: threads converting at once must not
// share one, or one thread's reset lands in the middle of another's text.
TEST(Codec, ConcurrentConversionsStayApart) {
  std::string jp, jp_text, cn, cn_text;
  for (int i = 0; i < 400; ++i) {
    jp += "\x1B$B$3$s\x1B(Bab";
    jp_text += "こんab";
    cn += "\xC4\xE3z";
    cn_text += "你z";
  }
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        wrong[t] += Utf8(jp, "iso-2022-jp") != jp_text;
        wrong[t] += Utf8(cn, "gb2312") != cn_text;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

TEST(Codec, EncodedWordsInHeaders) {
  EXPECT_EQ(DecodeHeaderValue("=?ISO-8859-1?Q?Gr=FC=DFe_aus?= =?UTF-8?B?TcO8bmNoZW4=?="),
            "Gr\xC3\xBC\xC3\x9F" "e ausM\xC3\xBCnchen");
  EXPECT_EQ(DecodeHeaderValue("Re: =?utf-8?q?caf=C3=A9?= ok"), "Re: caf\xC3\xA9 ok");
  // Malformed words stay literal text.
  EXPECT_EQ(DecodeHeaderValue("=?broken"), "=?broken");
  EXPECT_EQ(DecodeHeaderValue("=?utf-8?X?abc?="), "=?utf-8?X?abc?=");
  EXPECT_TRUE(IsValidUtf8(DecodeHeaderValue("=?utf-8?B?/w==?= \xFF")));
}

TEST(Codec, HeaderValuesDecodeInOnePass) {
  struct Row {
    const char* in;
    const char* out;
  };
  const std::string open_words = [] {
    std::string s;
    for (int i = 0; i < 200; ++i) s += "=?a?q?x ";
    return s;
  }();
  const Row rows[] = {
      {"", ""},
      {"plain  text\tand\r\nfolds", "plain  text and  folds"},
      {"=?utf-8?q?a?= =?utf-8?q?b?=\t=?UTF-8?B?4oKs?=", "ab€"},
      {" =?utf-8?q?a?=  tail ", " a  tail "},
      {"x=?utf-8?q?a?=y", "xay"},
      {"=?utf-8*en?q?lang?=", "lang"},
      {"=?utf-8?q?\?=", ""},
      // Never closed, or no encoding letter: literal text.
      {"=?utf-8?q?open", "=?utf-8?q?open"},
      {"=?utf-8?q?a =?utf-8?q?b", "=?utf-8?q?a =?utf-8?q?b"},
      {"=?\?=", "=?\?="},
      {open_words.c_str(), open_words.c_str()},
      {"=?utf-8?q?a?= =?utf-8?q?open", "a =?utf-8?q?open"},
      // A character split across two words, in one charset, survives.
      {"=?utf-8?B?4oI=?= =?utf-8?B?rA==?=", "€"},
      {"=?gb2312?B?xOM=?= =?koi8-r?B?8A==?=", "你П"},
      // Raw 8-bit text, and invisible characters in a word.
      {"Caf\xE9 ok", "Café ok"},
      {"=?utf-8?q?V=E2=80=8Biag=C2=ADra?=", "Viagra"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.in).substr(0, 60));
    EXPECT_EQ(DecodeHeaderValue(r.in), r.out);
  }
}

TEST(Mime, FoldedHeadersAndParameters) {
  Message m;
  std::string raw =
      "Subject: a long\r\n  folded subject\r\nContent-Type: text/plain;\r\n\tcharset=\"ISO-8859-1\"; format=flowed\r\n"
      "\r\nbody\r\n";
  ParseMessage(raw, m);
  ASSERT_NE(m.Find("subject"), nullptr);
  EXPECT_EQ(m.Find("SUBJECT")->value, "a long folded subject");
  EXPECT_EQ(m.parts[0].charset, "iso-8859-1");
  EXPECT_EQ(m.parts[0].body, "body\r\n");
  EXPECT_EQ(HeaderParam("attachment; filename*=utf-8''r%C3%A9sum%C3%A9.pdf", "filename"), "r%C3%A9sum%C3%A9.pdf");
  EXPECT_EQ(HeaderParam("text/plain; name=\"a \\\"q\\\" b\"", "name"), "a \"q\" b");
  EXPECT_EQ(HeaderParam("text/plain", "charset"), "");
}

TEST(Mime, HeaderValuesAreCappedAt64KiB) {
  const size_t cap = 64u << 10;
  struct Row {
    const char* name;
    std::string raw;
    size_t want;
  };
  const std::string big(cap + 100, 'x');
  const Row rows[] = {
      {"one long first line", "Subject: " + big + "\n\nbody", cap},
      {"folded past the cap", "Subject: " + big.substr(0, cap - 10) + "\n " + big + "\n\nbody", cap},
      {"just under", "Subject: " + big.substr(0, cap - 1) + "\n\nbody", cap - 1},
      {"folds kept below the cap", "Subject: a\n b\n\tc\n\nbody", 5},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    Message m;
    ParseMessage(r.raw, m);
    ASSERT_EQ(m.headers().size(), 1u);
    EXPECT_EQ(m.headers()[0].value.size(), r.want);
    EXPECT_EQ(m.parts[0].body, "body");
  }
}

TEST(Mime, NestedMultipartTree) {
  std::string raw =
      "Content-Type: multipart/mixed; boundary=outer\n\npreamble\n--outer\n"
      "Content-Type: multipart/alternative; boundary=\"inner\"\n\n--inner\nContent-Type: text/plain\n\nplain text\n"
      "--inner\nContent-Type: text/html\n\n<b>html</b>\n--inner--\n"
      "--outer\nContent-Type: application/pdf; name=x.pdf\nContent-Transfer-Encoding: base64\n\nJVBERi0=\n"
      "--outer--\nepilogue\n";
  Message m;
  ParseMessage(raw, m);
  ASSERT_EQ(m.parts.size(), 5u);
  EXPECT_EQ(m.parts[1].subtype, "alternative");
  EXPECT_EQ(m.parts[2].body, "plain text");
  EXPECT_EQ(m.parts[2].parent, 1);
  EXPECT_EQ(m.parts[3].subtype, "html");
  EXPECT_EQ(m.parts[4].filename, "x.pdf");
  EXPECT_EQ(m.parts[4].parent, 0);
  EXPECT_EQ(m.anomalies, 0u);
  std::string pdf;
  DecodePartBody(m.parts[4], pdf, 100);
  EXPECT_EQ(pdf, "%PDF-");
}

TEST(Mime, BrokenStructuresAreToleratedAndNoted) {
  Message m;
  ParseMessage("Content-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain\n\ncut off", m);
  EXPECT_TRUE(m.anomalies & kAnomalyUnclosedMultipart);
  ASSERT_EQ(m.parts.size(), 2u);
  EXPECT_EQ(m.parts[1].body, "cut off");

  ParseMessage("Content-Type: multipart/mixed\n\nno boundary at all", m);
  EXPECT_TRUE(m.anomalies & kAnomalyMissingBoundary);
  EXPECT_EQ(m.parts[0].type, "text");

  ParseMessage("Subject: only headers\nFrom: x", m);
  EXPECT_TRUE(m.anomalies & kAnomalyNoHeaderEnd);

  ParseMessage("this is no header line\nand neither is this\n", m);
  EXPECT_TRUE(m.headers().empty());
  EXPECT_EQ(m.parts[0].body.substr(0, 7), "this is");

  ParseMessage("", m);
  EXPECT_EQ(m.parts.size(), 1u);
}

TEST(Mime, DepthAndPartLimitsBoundTheTree) {
  std::string deep;
  for (int i = 0; i < 200; ++i) deep += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\n\n--b" + std::to_string(i) + "\n";
  Message m;
  ParseMessage(deep, m);
  EXPECT_TRUE(m.anomalies & kAnomalyTooDeep);
  EXPECT_LE(m.parts.size(), 14u);

  std::string wide = "Content-Type: multipart/mixed; boundary=w\n\n";
  for (int i = 0; i < 2000; ++i) wide += "--w\n\nx\n";
  wide += "--w--\n";
  ParseMessage(wide, m);
  EXPECT_TRUE(m.anomalies & kAnomalyTooManyParts);
  EXPECT_EQ(m.parts.size(), ParseLimits().max_parts);
}

TEST(Mime, ForwardedMessageIsParsedAsChild) {
  Message m;
  ParseMessage("Content-Type: message/rfc822\n\nSubject: inner\nContent-Type: text/plain\n\ninner body", m);
  ASSERT_EQ(m.parts.size(), 2u);
  EXPECT_EQ(m.parts[1].headers.at(0).value, "inner");
  EXPECT_EQ(m.parts[1].body, "inner body");
}

TEST(Html, VisibleTextEntitiesAndLinks) {
  std::string text;
  std::vector<std::string> urls;
  HtmlStats st;
  HtmlToText("<html><head><style>p{color:red}</style><SCRIPT>var a='<b>';</script></head>"
             "<body>Fish &amp; chips &euro;5 &#233;t&#xE9; &bogus; <!-- hidden --><a href=\"http://x.example/a?b=1&amp;c=2\">"
             "go</a><img src=pic.png>a<b",
             text, &urls, &st);
  EXPECT_EQ(text.find("color"), std::string::npos);
  EXPECT_EQ(text.find("var a"), std::string::npos);
  EXPECT_EQ(text.find("hidden"), std::string::npos);
  EXPECT_NE(text.find("Fish & chips \xE2\x82\xAC" "5 \xC3\xA9t\xC3\xA9 &bogus;"), std::string::npos);
  ASSERT_EQ(urls.size(), 2u);
  EXPECT_EQ(urls[0], "http://x.example/a?b=1&c=2");
  EXPECT_EQ(urls[1], "pic.png");
  EXPECT_EQ(st.images, 1u);
}

TEST(Html, CharacterReferencesAsBrowsersRead) {
  struct Row {
    const char* in;
    const char* text;
  };
  const Row rows[] = {
      {"&amp; &AMP; &lt;&gt;", "& & <>"},
      {"&AElig;&zwnj;|&Aring;", "Æ\u200C|Å"},
      {"&CounterClockwiseContourIntegral;", "∳"},
      {"&NotEqualTilde;", "≂̸"},  // two code points
      {"&notin; &notit; &not", "∉ ¬it; ¬"},
      {"&copy2024 &nbsp;x&nbsp", "©2024  x "},
      {"&hellip &euro &bogus;", "&hellip &euro &bogus;"},  // not legacy names: text without ';'
      {"&#150;&#x80;&#x9d;", "–€\u009D"},  // 128..159 as Windows-1252, unassigned kept
      {"&#x1F600;&#65&#x41;", "😀AA"},
      {"&#0;&#xD800;&#99999999999999;", "\uFFFD\uFFFD\uFFFD"},
      {"&# &#x; &", "&# &#x; &"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.in);
    std::string text;
    HtmlToText(r.in, text, nullptr);
    EXPECT_EQ(text, r.text);
  }
  // In an attribute a legacy name followed by '=' or a letter is no reference.
  std::vector<std::string> urls;
  std::string text;
  HtmlToText("<a href='http://x.example/?a=1&copy=2&amp;b=3&notit;&lt'>", text, &urls);
  ASSERT_EQ(urls.size(), 1u);
  EXPECT_EQ(urls[0], "http://x.example/?a=1&copy=2&b=3&notit;<");
}

TEST(Html, UnterminatedConstructsStopAtTheEnd) {
  const char* cases[] = {"<script>never closed", "<!-- never closed", "<a href=\"never", "&#x110000;", "&#",
                         "<", "a < b > c"};
  for (const char* c : cases) {
    SCOPED_TRACE(c);
    std::string text;
    std::vector<std::string> urls;
    HtmlToText(c, text, &urls);
    EXPECT_TRUE(IsValidUtf8(text));
  }
  std::string t;
  HtmlToText("a < b", t, nullptr);
  EXPECT_EQ(t, "a < b");
}

TEST(Text, UrlsAndHosts) {
  std::vector<std::string> urls;
  FindUrls("see http://A.Example.COM/x, www.other.example. or https://u:p@ip.example:8080/", urls, 10);
  ASSERT_EQ(urls.size(), 3u);
  EXPECT_EQ(UrlHost(urls[0]), "a.example.com");
  EXPECT_EQ(UrlHost(urls[1]), "www.other.example");
  EXPECT_EQ(UrlHost(urls[2]), "ip.example");
  EXPECT_EQ(UrlHost("mailto:someone@mail.example"), "mail.example");
  EXPECT_EQ(UrlHost("http://no_dots/"), "");
  urls.clear();
  FindUrls("http://a.example http://b.example http://c.example", urls, 2);
  EXPECT_EQ(urls.size(), 2u);
}

TEST(Text, FindUrlsEdgeCases) {
  std::string many_misses;
  for (int i = 0; i < 3000; ++i) many_misses += " :// xwww.no ";
  struct Row {
    std::string text;
    std::vector<std::string> urls;
  };
  const Row rows[] = {
      {"", {}},
      {"http://", {"http://"}},  // no host: UrlHost() drops it
      {"go http://a.example", {"http://a.example"}},
      {"://nohost and //x.example", {}},
      {"xwww.nope.example but (www.yes.example)", {"www.yes.example"}},
      {"/www.after-slash.example", {"www.after-slash.example"}},
      {"longschemename://h.example", {"hemename://h.example"}},  // at most 8 scheme letters
      {"end http://a.example/x.,;", {"http://a.example/x"}},
      {"www.a.example http://b.example www.c.example", {"www.a.example", "http://b.example", "www.c.example"}},
      {"http://a.example/www.inner.example/p www.after.example",
       {"http://a.example/www.inner.example/p", "www.after.example"}},
      {many_misses + "http://late.example" + many_misses + "www.later.example",
       {"http://late.example", "www.later.example"}},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.text.substr(0, 60));
    std::vector<std::string> urls;
    FindUrls(r.text, urls, 10);
    EXPECT_EQ(urls, r.urls);
  }
}

// Zero-width and other invisible characters are gone from the subject and the
// body the tokenizer reads, so a word split by them is one token again.
TEST(Text, InvisibleCharactersAreDropped) {
  struct Row {
    const char* splitter;
    bool in_subject;  // character references mean something in HTML only
  };
  const Row rows[] = {{"\u200B", true}, {"\u200C", true}, {"\u200D", true}, {"\u200E", true},
                      {"\u200F", true}, {"\u2060", true}, {"\u2064", true}, {"\uFEFF", true},
                      {"\u00AD", true}, {"\u034F", true}, {"\u180E", true}, {"\u061C", true},
                      {"\U000E0041", true}, {"&#8203;", false}, {"&ZeroWidthSpace;", false},
                      {"&shy;", false}, {"&zwj;", false}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.splitter);
    std::string word = std::string("Vi") + r.splitter + "agra";
    Analysis a;
    Analyze("Subject: " + word + "\nContent-Type: text/html; charset=utf-8\n\n<p>buy " + word + " now</p>", a);
    if (r.in_subject) {
      EXPECT_EQ(a.text.subject, "Viagra");
    }
    EXPECT_NE(a.text.body.find("buy Viagra now"), std::string::npos) << a.text.body;
    EXPECT_TRUE(HasToken(a.tokens, "viagra"));
  }
  // Visible neighbours stay: a hair space, a hyphen, a no-break space.
  Analysis a;
  Analyze("Subject: x\n\na\u200Ab c\u2010d e\u00A0f", a);
  EXPECT_NE(a.text.body.find("a\u200Ab c\u2010d e\u00A0f"), std::string::npos);
}

TEST(Tokens, TaggedFeaturesAndDeduplication) {
  TokenSet ts = TokensOf(
      "From: Seller <promo@shop.deals.example>\nSubject: Cheap Watches\nX-Mailer: BulkMail 5\n"
      "Content-Type: text/html; charset=windows-1252\n\n"
      "<a href='http://click.deals.example/x'>Buy</a> buy BUY watches "
      "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa 12345\n");
  for (const char* w : {"subj:cheap", "from:@deals.example", "from:@shop.deals.example", "hn:x-mailer", "xm:bulkmail",
                        "url:deals.example", "url:click.deals.example", "cs:windows-1252", "html:only", "skip:a5", "buy"})
    EXPECT_TRUE(HasToken(ts, w)) << w;
  EXPECT_FALSE(HasToken(ts, "12345"));
  size_t buys = 0;
  for (const Token& t : ts.tokens()) buys += ts.Text(t) == "buy";
  EXPECT_EQ(buys, 1u);
  for (size_t i = 1; i < ts.size(); ++i) EXPECT_LT(ts.tokens()[i - 1].hash, ts.tokens()[i].hash);
}

TEST(Tokens, LargeSetsComeOutSortedAndOnceEach) {
  // Sizes around the switch from a plain sort to the bucketed one.
  for (size_t words : {30, 63, 64, 65, 700}) {
    SCOPED_TRACE(words);
    std::string body;
    for (size_t round = 0; round < 3; ++round)
      for (size_t i = 0; i < words; ++i) body += "w" + std::to_string((i * 11 + round * 13) % words) + "x ";
    TokenSet ts = TokensOf("Subject: s\n\n" + body + "\n");
    std::set<std::string> seen;
    for (const Token& t : ts.tokens()) seen.insert(std::string(ts.Text(t)));
    EXPECT_EQ(seen.size(), ts.size());
    for (size_t i = 0; i < words; ++i) EXPECT_TRUE(seen.count("w" + std::to_string(i) + "x")) << i;
    for (size_t i = 1; i < ts.size(); ++i) ASSERT_LT(ts.tokens()[i - 1].hash, ts.tokens()[i].hash);
  }
}

TEST(Tokens, WordSplittingTrimsPunctuation) {
  std::vector<std::string> words;
  ForEachWord("'quoted' -dash- end. $100 it's a.b", [&](std::string_view w) { words.emplace_back(w); });
  std::vector<std::string> want = {"quoted", "dash", "end", "$100", "it's", "a.b"};
  EXPECT_EQ(words, want);
  auto s = DomainSuffixes("a.b.c.example.com");
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(s[0], "example.com");
  EXPECT_EQ(s[2], "b.c.example.com");
  EXPECT_EQ(s[3], "a.b.c.example.com");
  EXPECT_EQ(DomainSuffixes("10.0.0.1").size(), 1u);
}

TEST(Tokens, PairsCaseVariantsAndOptions) {
  const std::string raw =
      "From: a@b.example\nSubject: x\nMessage-ID: <k1@mx.sender.example>\n"
      "Received: from relay.example.net by gw\n\n"
      "Alpha beta 42 gamma delta epsilon http://shop.example/buy/now.php?id=77\n";
  TokenSet ts = TokensOf(raw);
  for (const char* w : {"bi:alpha beta", "bi:gamma delta", "c:Alpha", "alpha", "urlp:buy", "urlp:now", "urlp:php",
                        "urlp:id", "mid:@sender.example", "mid:@mx.sender.example", "hn:received"})
    EXPECT_TRUE(HasToken(ts, w)) << w;
  // A number breaks the pair chain, lower-case words have no case variant,
  // and Received hosts are tokens only on request.
  for (const char* w : {"bi:beta gamma", "c:beta", "urlp:77", "rcvd:relay.example.net"})
    EXPECT_FALSE(HasToken(ts, w)) << w;
  TokenizerOptions o;
  ASSERT_TRUE(SetTokenizerOption(o, "osb_window", 3));
  ASSERT_TRUE(SetTokenizerOption(o, "received", 1));
  EXPECT_FALSE(SetTokenizerOption(o, "no_such_option", 1));
  Analysis a;
  Analyze(raw, a, o);
  for (const char* w : {"osb1:gamma delta", "osb2:gamma epsilon", "osb1:delta epsilon", "rcvd:relay.example.net"})
    EXPECT_TRUE(HasToken(a.tokens, w)) << w;
  for (const char* w : {"osb2:beta delta", "bi:gamma delta"}) EXPECT_FALSE(HasToken(a.tokens, w)) << w;
  Analyze("Subject: x\n\nno mid here\n", a);
  EXPECT_FALSE(HasToken(a.tokens, "mid:*noat*"));
  Analyze("Message-ID: <plain-id>\n\nbody\n", a);
  EXPECT_TRUE(HasToken(a.tokens, "mid:*noat*"));
}

TEST(Tokens, TextGramsSeeThroughTransferEncodings) {
  // The same text sent plain and in base64: their raw 4-grams share only
  // the header, their text 4-grams all of "cheap offer\nwonderful savings
  // today" (33 grams of 36 bytes, some repeated).
  const std::string head = "From: a@b.example\nSubject: cheap offer\nContent-Type: text/plain\n";
  const std::string plain = head + "\nwonderful savings today\n";
  const std::string b64 = head + "Content-Transfer-Encoding: base64\n\nd29uZGVyZnVsIHNhdmluZ3MgdG9kYXkK\n";
  auto shared = [&](size_t text_gram_bytes) {
    TokenizerOptions o;
    o.text_gram_bytes = text_gram_bytes;
    Analysis a, b;
    Analyze(plain, a, o);
    Analyze(b64, b, o);
    std::set<uint64_t> seen(a.tokens.grams().begin(), a.tokens.grams().end());
    EXPECT_EQ(seen.size(), a.tokens.grams().size());  // each gram once
    size_t n = 0;
    for (uint64_t g : b.tokens.grams()) n += seen.count(g);
    return n;
  };
  EXPECT_GE(shared(3000), shared(0) + 30);
}

TEST(Bayes, RobinsonAndFisherMath) {
  EXPECT_DOUBLE_EQ(ChiSquareQ(0, 4), 1.0);
  EXPECT_NEAR(ChiSquareQ(2.0, 2), std::exp(-1.0), 1e-12);
  EXPECT_NEAR(ChiSquareQ(4.0, 4), std::exp(-2.0) * 3.0, 1e-12);
  EXPECT_GE(ChiSquareQ(5000.0, 300), 0.0);  // underflows to 0, never NaN

  BayesModel m;
  TokenSet spam, ham;
  spam.Add("", "viagra");
  spam.Add("", "shared");
  spam.Finish();
  ham.Add("", "meeting");
  ham.Add("", "shared");
  ham.Finish();
  m.Learn(spam, true);
  m.Learn(spam, true);
  m.Learn(ham, false);
  m.Learn(ham, false);
  BayesParams p;
  p.s = 1.0;
  p.x = 0.5;
  // Seen in both spam messages, no ham: p(w)=1, n=2 -> (0.5 + 2) / 3.
  EXPECT_NEAR(m.TokenProbability(m.Lookup(HashToken("viagra")), p), 2.5 / 3.0, 1e-12);
  EXPECT_NEAR(m.TokenProbability(m.Lookup(HashToken("shared")), p), 0.5, 1e-12);
  EXPECT_NEAR(m.TokenProbability(m.Lookup(HashToken("unknown")), p), 0.5, 1e-12);

  BayesResult rs = m.Classify(spam, p, 5);
  BayesResult rh = m.Classify(ham, p, 5);
  EXPECT_GT(rs.score, 0.5);
  EXPECT_LT(rh.score, 0.5);
  EXPECT_NEAR(rs.score + rh.score, 1.0, 1e-9);  // mirror-image evidence
  ASSERT_EQ(rs.used, 1u);                        // "shared" sits at 0.5
  ASSERT_EQ(rs.top.size(), 1u);
  EXPECT_EQ(rs.top[0].text, "viagra");
  TokenSet none;
  none.Add("", "never-seen");
  none.Finish();
  EXPECT_DOUBLE_EQ(m.Classify(none, p).score, 0.5);
  EXPECT_DOUBLE_EQ(BayesModel().Classify(spam, p).score, 0.5);
}

TEST(Bayes, LogSpaceFisherKeepsStrongerSide) {
  for (double x2 : {1.0, 10.0, 60.0, 150.0})
    for (unsigned dof : {2u, 8u, 30u, 60u})
      EXPECT_NEAR(ChiSquareLogQ(x2, dof), std::log(ChiSquareQ(x2, dof)), 1e-9) << x2 << " " << dof;
  EXPECT_DOUBLE_EQ(ChiSquareLogQ(0, 10), 0.0);
  double deep = ChiSquareLogQ(5000.0, 300);  // Q itself underflows here
  EXPECT_TRUE(std::isfinite(deep));
  EXPECT_LT(deep, -1000.0);

  // Twenty strong spam tokens against ten strong ham tokens: both Fisher
  // tests saturate, so the classic score sits at 0.5 while the log ratio
  // still sides with the stronger evidence; swapping the classes mirrors it.
  auto build = [](bool spam_first) {
    BayesModel m;
    TokenSet a, b;
    for (int i = 0; i < 20; ++i) a.Add("s", std::to_string(i));
    for (int i = 0; i < 10; ++i) b.Add("h", std::to_string(i));
    a.Finish();
    b.Finish();
    for (int i = 0; i < 50; ++i) {
      m.Learn(a, spam_first);
      m.Learn(b, !spam_first);
    }
    return m;
  };
  TokenSet msg;
  for (int i = 0; i < 20; ++i) msg.Add("s", std::to_string(i));
  for (int i = 0; i < 10; ++i) msg.Add("h", std::to_string(i));
  msg.Finish();
  BayesParams classic;
  classic.max_tokens = 0;
  classic.ratio_scale = 0;
  BayesParams ratio = classic;
  ratio.ratio_scale = 10;
  BayesModel m = build(true), mirrored = build(false);
  EXPECT_NEAR(m.Classify(msg, classic).score, 0.5, 1e-3);
  BayesResult r = m.Classify(msg, ratio), rm = mirrored.Classify(msg, ratio);
  EXPECT_EQ(r.used, 30u);
  EXPECT_GT(r.log_ratio, 0);
  EXPECT_GT(r.score, 0.9);
  EXPECT_NEAR(r.log_ratio, -rm.log_ratio, 1e-9);
  EXPECT_NEAR(r.score + rm.score, 1.0, 1e-12);

  // Only the most decisive clues count, and rare tokens can be ignored.
  BayesParams few = ratio;
  few.max_tokens = 15;
  EXPECT_EQ(m.Classify(msg, few).used, 15u);
  BayesModel once;
  TokenSet one;
  one.Add("", "rare");
  one.Finish();
  once.Learn(one, true);
  once.Learn(msg, false);
  EXPECT_EQ(once.Classify(one, ratio).used, 1u);
  BayesParams strict = ratio;
  strict.min_count = 2;
  EXPECT_EQ(once.Classify(one, strict).used, 0u);
}

TokenSet Words(const std::string& prefix, int from, int to) {
  TokenSet t;
  for (int i = from; i < to; ++i) t.Add(prefix, std::to_string(i));
  t.Finish();
  return t;
}

std::string Payload(const TokenModel& m) {
  std::string out;
  m.SavePayload(out);
  return out;
}

TEST(Bayes, ForgetUndoesLearnExactly) {
  // Thousands of tokens crowd the probe runs of the table, so removals shift
  // entries back across other keys' runs and across the wrap-around.
  TokenSet a = Words("w", 0, 3000), b = Words("w", 2000, 5000), c = Words("x", 0, 700);
  struct Step {
    const TokenSet* t;
    bool spam;
  };
  const std::vector<std::vector<Step>> kept = {{}, {{&a, true}}, {{&a, false}, {&b, true}}, {{&b, true}, {&c, false}}};
  for (size_t k = 0; k < kept.size(); ++k) {
    SCOPED_TRACE(k);
    BayesModel before;
    for (const Step& s : kept[k]) before.Learn(*s.t, s.spam);
    for (const Step& extra : {Step{&a, true}, Step{&b, false}, Step{&c, true}}) {
      BayesModel m = before;
      m.Learn(*extra.t, extra.spam);
      EXPECT_NE(Payload(m), Payload(before));
      m.Forget(*extra.t, extra.spam);
      EXPECT_EQ(Payload(m), Payload(before));
      EXPECT_EQ(m.size(), before.size());
      for (const Token& t : a.tokens()) ASSERT_EQ(m.Lookup(t.hash).spam, before.Lookup(t.hash).spam);
    }
  }
}

// A model kind this build does not read, to check how files of it are refused.
class OtherModel : public BayesModel {
 public:
  OtherModel(uint32_t kind, uint32_t version) : kind_(kind), version_(version) {}
  uint32_t kind() const override { return kind_; }
  uint32_t payload_version() const override { return version_; }

 private:
  uint32_t kind_, version_;
};

TEST(ModelFile, RoundTripAndEveryRefusal) {
  BayesModel m;
  LearnedMessages learned;
  TokenSet t = Words("w", 0, 3000);
  m.Learn(t, true);
  m.Learn(t, false);
  m.Learn(t, false);
  learned.Set(MessageDigest("two"), Label::kHam);
  learned.Set(MessageDigest("one"), Label::kSpam);
  std::string data = SerializeModelFile(m, learned);
  ModelData back;
  std::string err;
  ASSERT_TRUE(ParseModelFile(data, back, err)) << err;
  ASSERT_EQ(back.model->kind(), kModelBayes);
  EXPECT_EQ(back.model->messages(Label::kSpam), 1u);
  EXPECT_EQ(back.model->messages(Label::kHam), 2u);
  EXPECT_EQ(Payload(*back.model), Payload(m));
  Label l;
  ASSERT_TRUE(back.learned.Find(MessageDigest("one"), l));
  EXPECT_EQ(l, Label::kSpam);
  EXPECT_FALSE(back.learned.Find(MessageDigest("three"), l));

  std::string flipped = data, version = data, older = data, old = data;
  flipped[200] ^= 0x40;
  version[8] = 9;
  older[8] = 1;
  old.replace(0, 8, "ASEMLBY1");
  struct Case {
    std::string name, bytes, expect;
  } cases[] = {
      {"bit flip", flipped, "checksum"},
      {"truncated", data.substr(0, data.size() - 9), "checksum"},
      {"garbage", "garbage", "not a model file"},
      {"empty", "", "not a model file"},
      {"format version", version, "format version 9 is not supported"},
      {"older format version", older, "version 1 is not supported (this build reads version 2): train it again"},
      {"old format", old, "older format"},
      {"unknown kind", SerializeModelFile(OtherModel(77, 1), learned), "model kind 77 is not supported"},
      {"payload version", SerializeModelFile(OtherModel(kModelBayes, 9), learned), "data version 9 is not supported"},
      {"older fused data", SerializeModelFile(OtherModel(kModelFused, 1), learned),
       "data version 1 is not supported (this build reads version 2): train it again"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ModelData out;
    err.clear();
    EXPECT_FALSE(ParseModelFile(c.bytes, out, err));
    EXPECT_NE(err.find(c.expect), std::string::npos) << err;
    EXPECT_EQ(out.model, nullptr);
  }
}

TEST(ModelFile, OnlyARegularFileIsRead) {
  std::string dir = testing::TempDir() + "/eml_model_read";
  std::string fifo = dir + "/fifo";
  ::mkdir(dir.c_str(), 0700);
  ::unlink(fifo.c_str());
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);  // no writer: a blocking open would hang
  for (const auto& c : {std::make_pair(dir + "/missing", "cannot open"), std::make_pair(fifo, "not a regular file"),
                        std::make_pair(dir, "not a regular file")}) {
    ModelData out;
    FileStamp stamp;
    std::string err;
    EXPECT_FALSE(ReadModelFile(c.first, out, stamp, err));
    EXPECT_NE(err.find(c.second), std::string::npos) << err;
  }
  ::unlink(fifo.c_str());
  ::rmdir(dir.c_str());
}

TEST(ModelFile, DigestIgnoresHowTheMessageWasStored) {
  const std::string msg = "Subject: hi\n\nbody line\n";
  const uint64_t d = MessageDigest(msg);
  for (const std::string& same : {std::string("From a@b Thu Aug 22 12:36:23 2002\n") + msg,
                                  std::string("Subject: hi\r\n\r\nbody line\r\n"), msg + "\n\n  \n"})
    EXPECT_EQ(MessageDigest(same), d) << same;
  for (const std::string& other : {std::string("Subject: hi\n\nbody line.\n"), std::string("X: 1\n") + msg,
                                   std::string("Subject: hi\n\nbody\rline\n")})
    EXPECT_NE(MessageDigest(other), d) << other;
  EXPECT_NE(MessageDigest(""), 0u);
}

TEST(Rules, DomainListsMatchParentsOnly) {
  DomainList l;
  std::string err;
  ASSERT_TRUE(l.Parse("example.com, *.bad.example; .worse.example", err));
  EXPECT_TRUE(l.Matches("example.com"));
  EXPECT_TRUE(l.Matches("WWW.Example.com"));
  EXPECT_TRUE(l.Matches("x.bad.example"));
  EXPECT_TRUE(l.Matches("worse.example"));
  EXPECT_FALSE(l.Matches("badexample.com"));
  EXPECT_FALSE(l.Matches("example.com.evil"));
  EXPECT_FALSE(l.Matches(""));
  EXPECT_FALSE(l.Parse("good.example, bad/entry", err));
  EXPECT_NE(err.find("bad/entry"), std::string::npos);
  EXPECT_TRUE(l.empty());
  EXPECT_TRUE(l.Parse("", err));
}

TEST(Rules, HeaderHeuristicsAndCombination) {
  Analysis clean, shady;
  Analyze("From: a@example.org\nTo: b@example.org\nDate: Mon, 1 Jan 2024 00:00:00 +0000\n"
          "Message-ID: <1@example.org>\nSubject: hello\n\nhi",
          clean);
  Analyze("From: nobody\nSubject: FREE MONEY NOW!!\nContent-Type: text/html\n\n<b>x</b>", shady);
  EXPECT_TRUE(HeaderRules(clean.msg, clean.text).empty());
  std::vector<std::string> names;
  for (const RuleHit& h : HeaderRules(shady.msg, shady.text)) names.push_back(h.name);
  for (const char* want : {"missing-date", "missing-message-id", "from-without-address", "no-recipients",
                           "subject-shouting", "subject-exclaims", "html-only"})
    EXPECT_NE(std::find(names.begin(), names.end(), want), names.end()) << want;
  EXPECT_TRUE(HeaderRules(shady.msg, shady.text, 0).empty());
  EXPECT_EQ(SenderDomain(clean.msg), "example.org");

  EXPECT_GT(CombineScore(0.5, 1, 0), 0.5);
  EXPECT_LT(CombineScore(0.999, 0, -20), 0.01);
  EXPECT_GT(CombineScore(1.0, 0, 0), 0.99);  // clamped, never infinite
}

TEST(Mbox, SplitsOnRealSeparatorsOnly) {
  std::string one = "From a@b Thu Aug 22 12:36:23 2002\nSubject: x\n\nFrom here on, text\n";
  std::vector<MboxMessage> parts;
  SplitMbox(one, parts);
  ASSERT_EQ(parts.size(), 1u);
  std::string two = one + "From c@d Fri Aug 23 01:02:03 2002\nSubject: y\n\nbody\n";
  parts.clear();
  SplitMbox(two, parts);
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(two.substr(parts[1].offset, 6), "From c");
  EXPECT_EQ(parts[0].length + parts[1].length, two.size());
  parts.clear();
  SplitMbox("Subject: not an mbox\n\nFrom a@b Thu Aug 22 12:36:23 2002\n", parts);
  EXPECT_EQ(parts.size(), 1u);
}

// Random and mutated input must never crash, and every text the engine hands
// on must be valid UTF-8.
TEST(Hostile, RandomAndMutatedMessages) {
  std::mt19937 rng(12345);
  std::string base =
      "From: =?utf-8?B?w6k=?= <x@y.example>\nSubject: =?iso-8859-1?Q?=E9t=E9?=\n"
      "Content-Type: multipart/mixed; boundary=q\n\n--q\nContent-Type: text/html; charset=utf-8\n"
      "Content-Transfer-Encoding: quoted-printable\n\n<a href=3D'http://a.example'>=C3=A9</a>&#233;\n--q\n"
      "Content-Type: text/plain; charset=windows-1252\nContent-Transfer-Encoding: base64\n\nk5SVlg==\n--q--\n";
  for (int round = 0; round < 300; ++round) {
    std::string raw = base;
    int edits = 1 + static_cast<int>(rng() % 40);
    for (int e = 0; e < edits && !raw.empty(); ++e) {
      size_t at = rng() % raw.size();
      switch (rng() % 3) {
        case 0: raw[at] = static_cast<char>(rng() & 0xFF); break;
        case 1: raw.erase(at, rng() % 16); break;
        default: raw.insert(at, std::string(rng() % 8, static_cast<char>(rng() & 0xFF))); break;
      }
    }
    if (round % 50 == 0) raw = std::string(100000 + rng() % 1000, static_cast<char>(rng() & 0xFF));
    Analysis a;
    Analyze(raw, a);
    ASSERT_TRUE(IsValidUtf8(a.text.body)) << "round " << round;
    ASSERT_TRUE(IsValidUtf8(a.text.subject)) << "round " << round;
  }
}

// Widening a single-byte charset can take the text past its cap in the middle
// of a character; the cut must still leave valid UTF-8.
TEST(Hostile, TextCapCutsOnACharacterBoundary) {
  std::string part(2u << 20, '\x80');  // each byte becomes the 3-byte euro sign
  std::string raw = "Subject: x\nContent-Type: multipart/mixed; boundary=b\n\n";
  for (int i = 0; i < 2; ++i) raw += "--b\nContent-Type: text/plain; charset=windows-1252\n\n" + part + "\n";
  raw += "--b--\n";
  Analysis a;
  Analyze(raw, a);
  EXPECT_LE(a.text.body.size(), TextLimits().max_text_bytes);
  EXPECT_GT(a.text.body.size(), TextLimits().max_text_bytes - 4);
  EXPECT_TRUE(IsValidUtf8(a.text.body));
}
