// The configuration file's text and the choice of address and password
// between the command line, the environment and the file.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "phone_config.h"

namespace korvex::cli {
namespace {

TEST(ConfigTextTest, SectionsKeysAndValuesAreTrimmed) {
  const ConfigText config = parseConfig(
      "# phones\n"
      "[default]\r\n"
      "host = 192.168.1.20\n"
      "\n"
      "; the tablet\n"
      "[ tablet ]\n"
      "  host=10.0.0.7:2424  \n"
      "password-file = ~/.tablet = pw\n"
      "host = 10.0.0.8\n");
  ASSERT_EQ(config.error, "");
  ASSERT_EQ(config.sections.size(), 2u);
  ASSERT_NE(config.find("default"), nullptr);
  EXPECT_EQ(config.find("default")->find("host")->value, "192.168.1.20");
  EXPECT_EQ(config.find("default")->find("password-file"), nullptr);
  const ConfigSection* tablet = config.find("tablet");
  ASSERT_NE(tablet, nullptr);
  EXPECT_EQ(tablet->find("password-file")->value, "~/.tablet = pw");  // only the first '=' splits
  EXPECT_EQ(tablet->find("host")->value, "10.0.0.8");                 // the last one given counts
  EXPECT_EQ(tablet->find("host")->line, 9);
  EXPECT_EQ(config.find("phone"), nullptr);
  EXPECT_EQ(parseConfig("").sections.size(), 0u);
}

TEST(ConfigTextTest, TheFirstLineNotUnderstoodIsNamed) {
  const struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"host=1.2.3.4\n", "line 1: key=value before the first [section]"},
      {"[a]\nhost\n", "line 2: expected key=value"},
      {"[a]\n = x\n", "line 2: expected key=value"},
      {"[a\n", "line 1: a section is written [name]"},
      {"[]\n", "line 1: a section is written [name]"},
      {"[a]\n[b]\n\n[a]\nbad\n", "line 4: [a] is given twice"},
  };
  for (const auto& c : cases) EXPECT_EQ(parseConfig(c.text).error, c.error) << c.text;
}

TEST(ConfigTextTest, OnlyALeadingTildeIsTheHome) {
  const struct {
    const char* path;
    const char* expanded;
  } cases[] = {
      {"~", "/home/u"},           {"~/pw", "/home/u/pw"}, {"~\\pw", "/home/u\\pw"},
      {"~other/pw", "~other/pw"}, {"/a/~/pw", "/a/~/pw"}, {"pw", "pw"},
  };
  for (const auto& c : cases) EXPECT_EQ(expandHome(c.path, "/home/u"), c.expanded) << c.path;
}

TEST(LoginChoiceTest, TheStrongestSourceGivesEachPart) {
  const ConfigText config = parseConfig(
      "[phone]\nhost=phone-host\npassword-file=phone-pw\n"
      "[default]\nhost=default-host\npassword-file=default-pw\n"
      "[bare]\n");
  const ConfigSection* phone = config.find("phone");
  const ConfigSection* bare = config.find("bare");
  const ConfigSection* fallback = config.find("default");
  using Kind = Credential::Kind;
  const std::optional<std::string> none;
  const struct {
    const char* what;
    LoginSources sources;
    std::string host;
    Kind kind;
    std::string password;
    bool fromConfig;
  } cases[] = {
      {"nothing", {}, "127.0.0.1", Kind::None, "", false},
      {"[default] alone", {none, none, none, nullptr, none, none, fallback}, "default-host", Kind::File, "default-pw",
       true},
      {"the environment over [default]",
       {none, none, none, nullptr, "env-host", "env-pw", fallback},
       "env-host",
       Kind::Text,
       "env-pw",
       false},
      {"--phone over the environment",
       {none, none, none, phone, "env-host", "env-pw", fallback},
       "phone-host",
       Kind::File,
       "phone-pw",
       true},
      {"a --phone without keys leaves them to the rest",
       {none, none, none, bare, "env-host", none, fallback},
       "env-host",
       Kind::File,
       "default-pw",
       true},
      {"the command line over --phone",
       {"cli-host", "cli-pw", none, phone, "env-host", "env-pw", fallback},
       "cli-host",
       Kind::Text,
       "cli-pw",
       false},
      {"--password-file over --phone",
       {none, none, "cli-pw-file", phone, none, none, fallback},
       "phone-host",
       Kind::File,
       "cli-pw-file",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const LoginChoice choice = chooseLogin(c.sources);
    EXPECT_EQ(choice.host, c.host);
    EXPECT_EQ(choice.password.kind, c.kind);
    EXPECT_EQ(choice.password.value, c.password);
    EXPECT_EQ(choice.password.fromConfig, c.fromConfig);
  }
}

// The library takes the first ':' as the start of the port and wraps a
// port past 65535: such an address is a usage error before it.
TEST(AddressTest, AnAddressWithAPortTheLibraryWouldMisreadIsNamed) {
  const struct {
    const char* address;
    const char* host;
    const char* problem;
  } cases[] = {
      {"192.168.1.20", "192.168.1.20", ""},
      {"phone.lan:2424", "phone.lan", ""},
      {"10.0.0.7:1", "10.0.0.7", ""},
      {"10.0.0.7:65535", "10.0.0.7", ""},
      {"10.0.0.7:65536", "10.0.0.7", "the port is out of range (1 to 65535)"},
      {"10.0.0.7:0", "10.0.0.7", "the port is out of range (1 to 65535)"},
      {"10.0.0.7:99999", "10.0.0.7", "the port is out of range (1 to 65535)"},
      {"10.0.0.7:123456", "10.0.0.7", "the port is not a number from 1 to 65535"},
      {"10.0.0.7:", "10.0.0.7", "the port is not a number from 1 to 65535"},
      {"10.0.0.7:23x", "10.0.0.7", "the port is not a number from 1 to 65535"},
      {"10.0.0.7:-1", "10.0.0.7", "the port is not a number from 1 to 65535"},
      {":2323", "", "no host name or address"},
      {"", "", "no host name or address"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(addressProblem(c.address), c.problem) << c.address;
    EXPECT_EQ(hostOf(c.address), c.host) << c.address;
  }
}

}  // namespace
}  // namespace korvex::cli
