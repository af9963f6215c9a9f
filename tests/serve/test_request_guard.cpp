// The server's checks of what a client sends, without a model: host names,
// listening addresses and multipart forms.
#include "serve/request_guard.h"
#include "serve/upload_form.h"

#include <gtest/gtest.h>

TEST(RequestGuard, LoopbackHostHeaders) {
  struct Case {
    const char *host;
    bool loopback;
  } const cases[] = {
      {"127.0.0.1", true},
      {"127.0.0.1:8080", true},
      {"127.1.2.3:80", true},
      {"localhost", true},
      {"LocalHost:8080", true},
      {"localhost.:8080", true},
      {"app.localhost:3000", true},
      {"[::1]:8080", true},
      {"[::1]", true},
      {"evil.example", false},
      {"127.0.0.1.evil.example", false},
      {"localhost.evil.example", false},
      {"128.0.0.1", false},
      {"127.0.0.256", false},
      {"127.0.0", false},
      {"[::2]:80", false},
      {"[::1]x", false},
      {"", false},
      {"127.0.0.1:80x", false},
      {"evil.example:127.0.0.1", false},
  };
  for (const Case &c : cases) EXPECT_EQ(is_loopback_host(c.host), c.loopback) << c.host;
}

TEST(RequestGuard, LoopbackListeningAddresses) {
  for (const char *address : {"127.0.0.1", "127.0.0.2", "localhost", "::1", "[::1]"})
    EXPECT_TRUE(is_loopback_address(address)) << address;
  for (const char *address :
       {"0.0.0.0", "::", "192.0.2.1", "", "app.localhost", "localhost.example"})
    EXPECT_FALSE(is_loopback_address(address)) << address;
}

TEST(RequestGuard, MediaTypes) {
  EXPECT_EQ(media_type("Application/JSON; charset=utf-8"), "application/json");
  EXPECT_EQ(media_type("  text/plain  "), "text/plain");
  EXPECT_EQ(media_type(""), "");
}

TEST(UploadForm, FindsPartsInPlace) {
  const std::string body =
      "preamble\r\n--b\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a;b.wav\"\r\n"
      "Content-Type: audio/wav\r\n\r\nRIFF\r\n-b--\r\n--b\r\ncontent-disposition: form-data; "
      "name=name\r\n\r\nme\r\n--b--\r\n";
  std::vector<FormPart> parts;
  std::string error;
  ASSERT_TRUE(parse_form(body, form_boundary("multipart/form-data; boundary=b"), parts, error))
      << error;
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(parts[0].name, "file");
  EXPECT_EQ(parts[0].filename, "a;b.wav");
  EXPECT_EQ(parts[0].content_type, "audio/wav");
  EXPECT_EQ(parts[0].content, "RIFF\r\n-b--");
  EXPECT_EQ(parts[1].name, "name");
  EXPECT_EQ(parts[1].content, "me");
  EXPECT_GE(parts[0].content.data(), body.data());
  EXPECT_LE(parts[1].content.data() + parts[1].content.size(), body.data() + body.size());
}

TEST(UploadForm, RefusesMalformedForms) {
  struct Case {
    const char *name;
    std::string body;
  } const cases[] = {
      {"no delimiter", "just bytes"},
      {"no closing delimiter", "--b\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\ndata"},
      {"no disposition", "--b\r\nContent-Type: audio/wav\r\n\r\ndata\r\n--b--"},
      {"not form-data", "--b\r\nContent-Disposition: attachment; name=\"f\"\r\n\r\ndata\r\n--b--"},
      {"no name", "--b\r\nContent-Disposition: form-data; filename=\"a\"\r\n\r\ndata\r\n--b--"},
      {"headers never end", "--b\r\nContent-Disposition: form-data; name=\"f\"\r\n"},
  };
  for (const Case &c : cases) {
    std::vector<FormPart> parts;
    std::string error;
    EXPECT_FALSE(parse_form(c.body, "b", parts, error)) << c.name;
    EXPECT_TRUE(parts.empty()) << c.name;
    EXPECT_FALSE(error.empty()) << c.name;
  }
  std::string many;
  for (size_t i = 0; i <= kMaxFormParts; i++)
    many += "--b\r\nContent-Disposition: form-data; name=\"f\"\r\n\r\nx\r\n";
  many += "--b--";
  std::vector<FormPart> parts;
  std::string error;
  EXPECT_FALSE(parse_form(many, "b", parts, error));
  EXPECT_EQ(form_boundary("multipart/form-data"), "");
  EXPECT_EQ(form_boundary("multipart/form-data; boundary=\"" + std::string(71, 'x') + "\""), "");
}
