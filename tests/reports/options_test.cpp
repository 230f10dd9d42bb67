// The command line: which listeners may start, and with what.
#include "reports/options.h"

#include <gtest/gtest.h>

#include <fstream>

namespace reports {
namespace {

TEST(Options, APageOffLoopbackNeedsAToken) {
  const std::string token = "0123456789abcdef-token";
  const std::string folder = testing::TempDir();
  for (const auto& [name, text] : {std::pair<const char*, const char*>{"empty", "\nsecond-line-0123456789\n"},
                                   {"short", "short\n"},
                                   {"good", "0123456789abcdef-token\n"}})
    std::ofstream(folder + "/token-" + name) << text;
  const struct {
    const char* why;
    std::vector<std::string> args;
    bool accepted;
    const char* page;  // the page's host when accepted
  } cases[] = {
      {"the page on loopback by default", {"--db", "r.db", "--listen", "0.0.0.0:80"}, true, "127.0.0.1"},
      {"any address of 127/8", {"--db", "r.db", "--listen", "0.0.0.0:80", "--page", "127.1.2.3:9"}, true, "127.1.2.3"},
      {"IPv6 loopback", {"--db", "r.db", "--listen", "[::]:80", "--page", "[::1]:8080"}, true, "::1"},
      {"all addresses without a token", {"--db", "r.db", "--listen", "0.0.0.0:80", "--page", "0.0.0.0:8080"}, false, ""},
      {"a public address without a token", {"--db", "r.db", "--listen", "0.0.0.0:80", "--page", "192.0.2.7:8080"}, false, ""},
      {"IPv6 any without a token", {"--db", "r.db", "--listen", "0.0.0.0:80", "--page", "[::]:8080"}, false, ""},
      {"all addresses with a token", {"--db", "r.db", "--listen", "0.0.0.0:80", "--page", "0.0.0.0:8080", "--page-token", token}, true, "0.0.0.0"},
      {"a short token", {"--db", "r.db", "--listen", "0.0.0.0:80", "--page", "0.0.0.0:8080", "--page-token", "short"}, false, ""},
      {"a token that would break its cookie", {"--db", "r.db", "--listen", "0.0.0.0:80", "--page-token", token + ";x=1"}, false, ""},
      {"a host name, not an address", {"--db", "r.db", "--listen", "localhost:80"}, false, ""},
      {"port 0", {"--db", "r.db", "--listen", "127.0.0.1:0"}, false, ""},
      {"port 65536", {"--db", "r.db", "--listen", "127.0.0.1:65536"}, false, ""},
      {"no intake", {"--db", "r.db"}, false, ""},
      {"no database", {"--listen", "0.0.0.0:80"}, false, ""},
      {"an unknown option", {"--db", "r.db", "--listen", "0.0.0.0:80", "--verbose", "1"}, false, ""},
      {"an option without its value", {"--db", "r.db", "--listen"}, false, ""},
      {"a token from a file", {"--db", "r.db", "--listen", "0.0.0.0:80", "--page", "0.0.0.0:8080", "--page-token-file", folder + "/token-good"}, true, "0.0.0.0"},
      {"a token file whose first line is empty", {"--db", "r.db", "--listen", "0.0.0.0:80", "--page-token-file", folder + "/token-empty"}, false, ""},
      {"a short token from a file", {"--db", "r.db", "--listen", "0.0.0.0:80", "--page-token-file", folder + "/token-short"}, false, ""},
      {"an empty token", {"--db", "r.db", "--listen", "0.0.0.0:80", "--page-token", ""}, false, ""},
      {"a token file that is not there", {"--db", "r.db", "--listen", "0.0.0.0:80", "--page-token-file", folder + "/token-none"}, false, ""},
      {"the bounds given", {"--db", "r.db", "--listen", "0.0.0.0:80", "--address-rate", "100000", "--min-free-mb", "1", "--max-store-mb", "2048", "--page-over-tls"}, true, "127.0.0.1"},
      {"a rate of 0", {"--db", "r.db", "--listen", "0.0.0.0:80", "--address-rate", "0"}, false, ""},
      {"a signed floor", {"--db", "r.db", "--listen", "0.0.0.0:80", "--min-free-mb", "+5"}, false, ""},
      {"raw reports kept 30 days", {"--db", "r.db", "--listen", "0.0.0.0:80", "--keep-days", "30"}, true, "127.0.0.1"},
      {"nor kept for no day at all", {"--db", "r.db", "--listen", "0.0.0.0:80", "--keep-days", "0"}, false, ""},
      {"nor for a number that is not one", {"--db", "r.db", "--listen", "0.0.0.0:80", "--keep-days", "9x"}, false, ""},
      {"notices by mail", {"--db", "r.db", "--listen", "0.0.0.0:80", "--notify-mail", "maker@example.org"}, true, "127.0.0.1"},
      {"an address that would add a header", {"--db", "r.db", "--listen", "0.0.0.0:80", "--notify-mail", "a@example.org\nBcc: b@example.org"}, false, ""},
      {"an address that sendmail would read as an option", {"--db", "r.db", "--listen", "0.0.0.0:80", "--notify-mail", "-oQ/tmp@x"}, false, ""},
      {"two addresses", {"--db", "r.db", "--listen", "0.0.0.0:80", "--notify-mail", "a@example.org,b@example.org"}, false, ""},
      {"a hook over plain HTTP", {"--db", "r.db", "--listen", "0.0.0.0:80", "--notify-url", "http://[::1]:9000/hook?x=1"}, true, "127.0.0.1"},
      {"a hook over HTTPS, which is not spoken", {"--db", "r.db", "--listen", "0.0.0.0:80", "--notify-url", "https://chat.example/hook"}, false, ""},
      {"a hook with a user in it", {"--db", "r.db", "--listen", "0.0.0.0:80", "--notify-url", "http://u:p@chat.example/"}, false, ""},
      {"a page URL with a quote", {"--db", "r.db", "--listen", "0.0.0.0:80", "--page-url", "http://x/\"<b>"}, false, ""},
      {"no notices an hour", {"--db", "r.db", "--listen", "0.0.0.0:80", "--notify-per-hour", "0"}, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    Options options;
    std::string error;
    EXPECT_EQ(ParseOptions(c.args, &options, &error), c.accepted) << error;
    EXPECT_EQ(error.empty(), c.accepted);
    if (c.accepted) {
      EXPECT_EQ(options.page.host, c.page);
    }
  }
}

TEST(Options, NoticesLinkToThePageAndPostWhereTold) {
  Options options;
  std::string error;
  ASSERT_TRUE(ParseOptions({"--db", "r.db", "--listen", "0.0.0.0:80", "--page", "[::1]:8080",
                            "--notify-url", "http://chat.example:8065/hooks/quil"},
                           &options, &error))
      << error;
  EXPECT_EQ(options.notify.pageUrl, "http://[::1]:8080");
  EXPECT_EQ(options.notify.post.host + " " + std::to_string(options.notify.post.port) + " " +
                options.notify.post.path,
            "chat.example 8065 /hooks/quil");
  ASSERT_TRUE(ParseOptions({"--db", "r.db", "--listen", "0.0.0.0:80", "--page-url",
                            "https://reports.example/", "--notify-url", "http://chat.example"},
                           &options, &error));
  EXPECT_EQ(options.notify.pageUrl, "https://reports.example");
  EXPECT_EQ(options.notify.post.port, 80);
  EXPECT_EQ(options.notify.post.path, "/");
}

}  // namespace
}  // namespace reports
