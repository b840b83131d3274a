// The multipart pieces of KIVOHTTP, byte for byte.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "kivo/http.h"

namespace kivo {
namespace {

std::string text(const Bytes& bytes) { return {bytes.begin(), bytes.end()}; }

TEST(HTTPMultipart, BoundaryIsAFreshUpperCaseUUID) {
  std::set<std::string> seen;
  for (int i = 0; i < 100; ++i) {
    const std::string boundary = KIVOHTTP::makeBoundary();
    EXPECT_EQ(boundary.size(), 54u);
    EXPECT_TRUE(std::regex_match(boundary, std::regex("----KIVO-Boundary-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
        << boundary;
    seen.insert(boundary);
  }
  EXPECT_EQ(seen.size(), 100u);
  const std::string boundary = KIVOHTTP::makeBoundary();
  EXPECT_EQ(KIVOHTTP::bodyDataWithBoundary(boundary, {}, {}, {}, {}, {}).size(), 60u);
  EXPECT_EQ(KIVOHTTP::bodyDataWithBoundary(boundary, {{"a", "b"}}, {}, {}, {}, {}).size(), 165u);
  EXPECT_EQ(KIVOHTTP::stringOfMultipartFormDataWithBoundary("B"), "multipart/form-data; charset=utf-8; boundary=B");
}

TEST(HTTPMultipart, BodyBytes) {
  const Bytes file{0x00, 0xFF, '\r', '\n', 0x80};
  const std::string fileBody = "--B\r\nContent-Disposition: form-data; name=\"afp\"; filename=\"q.afp\"\r\n"
                               "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: binary\r\n\r\n" +
                               text(file) + "\r\n";
  struct Case {
    const char* name;
    FormParameters parameters;
    bool withFile;
    std::optional<std::string> fileName;
    std::string expected;
  };
  const Case cases[] = {
      {"nothing", {}, false, "q.afp", "--B--\r\n"},
      {"one field", {{"app_id", "abc"}}, false, "q.afp",
       "--B\r\nContent-Disposition: form-data; name=\"app_id\"\r\n\r\nabc\r\n--B--\r\n"},
      {"values as text, unescaped", {{"n", 42}, {"x", 1.5}, {"b", true}, {"q", "a\"b\r\nc"}}, false, "q.afp",
       "--B\r\nContent-Disposition: form-data; name=\"n\"\r\n\r\n42\r\n"
       "--B\r\nContent-Disposition: form-data; name=\"x\"\r\n\r\n1.5\r\n"
       "--B\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\n1\r\n"
       "--B\r\nContent-Disposition: form-data; name=\"q\"\r\n\r\na\"b\r\nc\r\n--B--\r\n"},
      {"field and file", {{"t", "1"}}, true, "q.afp",
       "--B\r\nContent-Disposition: form-data; name=\"t\"\r\n\r\n1\r\n" + fileBody + "--B--\r\n"},
      {"file missing a piece", {{"t", "1"}}, true, std::nullopt,
       "--B\r\nContent-Disposition: form-data; name=\"t\"\r\n\r\n1\r\n--B--\r\n"},
  };
  for (const auto& c : cases) {
    const Bytes body = c.withFile ? KIVOHTTP::bodyDataWithBoundary("B", c.parameters, "afp", c.fileName,
                                                                   "application/octet-stream", file)
                                  : KIVOHTTP::bodyDataWithBoundary("B", c.parameters, std::nullopt, std::nullopt,
                                                                   std::nullopt, std::nullopt);
    EXPECT_EQ(text(body), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace kivo
