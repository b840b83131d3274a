// The console's form parser: what the library's multipart encoder writes reads back exactly, and
// malformed or oversized bodies are refused with a reason.
#include "server/form_parser.h"

#include <gtest/gtest.h>

#include <random>

#include "kivo/http.h"

namespace {

using kivo::console::parseForm;

TEST(FormParser, BodiesOfTheLibraryEncoderReadBack) {
  std::mt19937 random(7);
  for (int round = 0; round < 200; ++round) {
    kivo::FormParameters fields;
    const int count = int(random() % 5);
    for (int i = 0; i < count; ++i) {
      std::string value(random() % 40, 'v');
      for (auto& c : value) c = char(' ' + random() % 95);
      fields.emplace_back("field" + std::to_string(i), value);
    }
    kivo::Bytes file(8 * (random() % 64));
    for (auto& b : file) b = uint8_t(random());
    const bool withFile = random() % 2;
    const std::string boundary = kivo::KIVOHTTP::makeBoundary();
    const kivo::Bytes body = kivo::KIVOHTTP::bodyDataWithBoundary(
        boundary, fields, withFile ? std::optional<std::string>("afp") : std::nullopt,
        std::string("c773393c-87d3-4663-b592-269737c847b9.afp"), std::string("application/octet-stream"), file);
    const auto result = parseForm(kivo::KIVOHTTP::stringOfMultipartFormDataWithBoundary(boundary),
                                  std::string_view(reinterpret_cast<const char*>(body.data()), body.size()));
    ASSERT_TRUE(result.form) << result.error;
    ASSERT_EQ(result.form->parts().size(), fields.size() + (withFile ? 1 : 0));
    for (const auto& [name, value] : fields) EXPECT_EQ(result.form->field(name), value.get<std::string>());
    if (withFile) {
      const auto* afp = result.form->find("afp");
      ASSERT_NE(afp, nullptr);
      EXPECT_EQ(afp->filename, "c773393c-87d3-4663-b592-269737c847b9.afp");
      EXPECT_EQ(afp->contentType, "application/octet-stream");
      EXPECT_EQ(afp->value, std::string(file.begin(), file.end()));
    }
  }
}

TEST(FormParser, RefusalsAndEdgeCases) {
  kivo::console::FormLimits small;
  small.maxParts = 2;
  small.maxFieldBytes = 4;
  small.maxFileBytes = 8;
  const std::string part = "--b\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n";
  const std::string file = "--b\r\nContent-Disposition: form-data; name=\"f\"; filename=\"x\"\r\n\r\n";
  struct Case {
    std::string type, body;
    bool ok;
    size_t parts;
  };
  const std::vector<Case> cases = {
      {"multipart/form-data; boundary=b", part + "--b--\r\n", true, 1},
      {"Multipart/Form-Data; boundary=\"b\"", part + "--b--", true, 1},
      {"multipart/form-data; boundary=b", "--b--\r\n", true, 0},
      {"multipart/form-data; boundary=b", "junk\r\n" + part + "--b--\r\n", true, 1},   // preamble
      {"multipart/form-data; boundary=b", part, false, 0},                             // no closing line
      {"multipart/form-data; boundary=b", part + part + part + "--b--\r\n", false, 0},  // too many parts
      {"multipart/form-data; boundary=b", "--b\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n12345\r\n--b--",
       false, 0},  // field too large
      {"multipart/form-data; boundary=b", file + "123456789\r\n--b--", false, 0},  // file too large
      {"multipart/form-data; boundary=b", file + "12345678\r\n--b--", true, 1},
      {"multipart/form-data; boundary=b", "--b\r\nContent-Type: text/plain\r\n\r\n1\r\n--b--", false, 0},
      {"multipart/form-data; boundary=b", "--b\r\nContent-Disposition: form-data\r\n\r\n1\r\n--b--", false, 0},
      {"multipart/form-data; boundary=b", "--b\r\nno colon\r\n\r\n1\r\n--b--", false, 0},
      {"multipart/form-data; boundary=b", "--bX\r\n", false, 0},
      {"multipart/form-data", part + "--b--", false, 0},  // no boundary
      {"multipart/form-data; boundary=" + std::string(71, 'b'), "", false, 0},
      {"application/x-www-form-urlencoded", "b=x%20y&&c", true, 2},
      {"application/x-www-form-urlencoded", "a=1&b=2&c=3", false, 0},
      {"application/x-www-form-urlencoded", "a=%2", false, 0},
      {"application/x-www-form-urlencoded", "a=%zz", false, 0},
      {"application/x-www-form-urlencoded", "=1", false, 0},
      {"application/json", "{}", false, 0},
      {"", "", true, 0},
  };
  for (const auto& c : cases) {
    const auto result = parseForm(c.type, c.body, small);
    EXPECT_EQ(result.form.has_value(), c.ok) << c.type << " | " << c.body << " | " << result.error;
    if (result.form) {
      EXPECT_EQ(result.form->parts().size(), c.parts) << c.body;
    } else {
      EXPECT_FALSE(result.error.empty());
    }
  }
  const auto decoded = parseForm("application/x-www-form-urlencoded", "b=x%20y+z");
  EXPECT_EQ(decoded.form->field("b"), "x y z");
}

}  // namespace
