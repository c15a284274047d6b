// ascand's configuration: every key on both sides of its limits, socket
// addresses, and file errors that name the file and line.
#include <gtest/gtest.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "config.h"

namespace {

using ascand::Config;

struct KeyCase {
  const char* key;
  const char* value;
  const char* error;  // nullptr: accepted; else a piece of the message
};

TEST(AscandConfig, KeysOnBothSidesOfTheirLimits) {
  const KeyCase cases[] = {
      {"socket_mode", "0", nullptr},          {"socket_mode", "0777", nullptr},
      {"socket_mode", "01000", "octal"},      {"socket_mode", "0668", "octal"},
      {"workers", "1", nullptr},              {"workers", "64", nullptr},
      {"workers", "0", "1 to 64"},            {"workers", "65", "1 to 64"},
      {"workers", "2x", "1 to 64"},           {"max_message_size", "1K", nullptr},
      {"max_message_size", "1023", "1K to 32M"}, {"max_message_size", "32M", nullptr},
      {"max_message_size", "33554433", "1K to 32M"}, {"max_message_size", "1G", "1K to 32M"},
      {"max_message_size", "-1", "1K to 32M"}, {"reject_score", "off", nullptr},
      {"reject_score", "1", nullptr},         {"reject_score", "0", "above 0"},
      {"reject_score", "1.0001", "above 0"},  {"reject_score", "nan", "above 0"},
      {"reject_score", "0.5x", "above 0"},    {"timeout", "0", "1 to 86400"},
      {"stop_timeout", "0", nullptr},         {"stop_timeout", "3601", "0 to 3600"},
      {"on_error", "accept", nullptr},        {"on_error", "reject", "accept or tempfail"},
      {"log", "syslog", nullptr},             {"log", "file", "stderr or syslog"},
      {"log_level", "debug", nullptr},        {"log_level", "verbose", "error, warning"},
      {"syslog_facility", "local7", nullptr}, {"syslog_facility", "local8", "local0 to local7"},
      {"pid_file", "", nullptr},              {"pid_file", "run/a.pid", "absolute"},
      {"no_such_key", "1", "unknown key 'no_such_key'"},
  };
  for (const KeyCase& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " = " + c.value);
    Config config;
    std::string error;
    bool ok = ascand::SetConfigKey(config, c.key, c.value, error);
    EXPECT_EQ(ok, c.error == nullptr) << error;
    if (c.error) {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
  }
}

TEST(AscandConfig, ValuesLandInTheirFields) {
  Config c;
  std::string error;
  ASSERT_TRUE(ascand::ApplyOverrides({"max_message_size=16m", "reject_score=0.9", "on_error = accept",
                                      "socket_mode=0600", "log=syslog", "syslog_facility=daemon"},
                                     c, error))
      << error;
  EXPECT_EQ(c.max_message_size, 16u << 20);
  EXPECT_DOUBLE_EQ(c.reject_score, 0.9);
  EXPECT_EQ(c.on_error, ascand::ErrorAction::kAccept);
  EXPECT_EQ(c.socket_mode, 0600);
  EXPECT_TRUE(c.log_syslog);
  EXPECT_EQ(c.syslog_facility, LOG_DAEMON);
  EXPECT_FALSE(ascand::ApplyOverrides({"workers"}, c, error));
  EXPECT_NE(error.find("key=value"), std::string::npos);
}

TEST(AscandConfig, SocketSpecifications) {
  const struct {
    const char* address;
    const char* normalized;  // nullptr: refused
  } cases[] = {
      {"unix:/run/a.sock", "unix:/run/a.sock"}, {"local:/run/a.sock", "unix:/run/a.sock"},
      {"inet:10025", "inet:10025@127.0.0.1"},   {"inet6:10025", "inet6:10025@::1"},
      {"inet:1@localhost", "inet:1@localhost"}, {"inet:65535@10.1.2.3", "inet:65535@10.1.2.3"},
      {"unix:run/a.sock", nullptr},             {"unix:", nullptr},
      {"inet:0", nullptr},                      {"inet:65536", nullptr},
      {"inet:25@", nullptr},                    {"/run/a.sock", nullptr},
      {"tcp:25", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    std::string out, error;
    EXPECT_EQ(ascand::NormalizeSocket(c.address, out, error), c.normalized != nullptr) << error;
    if (c.normalized) {
      EXPECT_EQ(out, c.normalized);
    } else {
      EXPECT_NE(error.find(c.address), std::string::npos) << error;
    }
  }
  EXPECT_EQ(ascand::SocketPath("unix:/run/a.sock"), "/run/a.sock");
  EXPECT_EQ(ascand::SocketPath("inet:25@127.0.0.1"), "");
}

TEST(AscandConfig, FileErrorsNameFileAndLine) {
  char dir[] = "/tmp/ascand-config-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/a.conf";
  const struct {
    const char* text;
    const char* error;  // nullptr: read
  } cases[] = {
      {"# comment\n; comment\n\nworkers = 3\nworkers=4\n", nullptr},
      {"workers = 3\n  = 4\n", "a.conf:2: expected key = value"},
      {"workers = 3\njust words\n", "a.conf:2: expected key = value"},
      {"\n\nworkers = 99\n", "a.conf:3: workers"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    std::ofstream(path) << c.text;
    Config config;
    std::string error;
    EXPECT_EQ(ascand::ReadConfigFile(path, config, error), c.error == nullptr) << error;
    if (c.error) {
      EXPECT_NE(error.find(c.error), std::string::npos) << error;
    } else {
      EXPECT_EQ(config.workers, 4);  // the last value wins
    }
  }
  Config config;
  std::string error;
  EXPECT_FALSE(ascand::ReadConfigFile(std::string(dir) + "/missing.conf", config, error));
  EXPECT_NE(error.find("missing.conf"), std::string::npos);
  unlink(path.c_str());
  rmdir(dir);
}

}  // namespace
