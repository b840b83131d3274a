// KIVOHTTP against real local servers: what goes on the wire, what comes back, and how every kind
// of failure ends.
#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "common/log_capture.h"
#include "common/main_queue_wait.h"
#include "common/temp_dir.h"
#include "common/test_http_server.h"
#include "kivo/http.h"

namespace kivo {
namespace {

using test::RawHTTPServer;
using test::TestHTTPServer;

struct DataOutcome {
  bool done = false;
  bool onMain = false;
  std::optional<Bytes> body;
  std::optional<HTTPResponse> response;
  std::optional<Error> error;
};

DataCompletion into(std::shared_ptr<DataOutcome> outcome) {
  return [outcome](std::optional<Bytes> body, std::optional<HTTPResponse> response, std::optional<Error> error) {
    outcome->onMain = dispatch::Queue::main().isCurrent();
    outcome->body = std::move(body);
    outcome->response = std::move(response);
    outcome->error = std::move(error);
    outcome->done = true;
  };
}

// Runs start(handler) and pumps the main queue until the handler ran.
template <class Start>
DataOutcome request(Start start) {
  auto outcome = std::make_shared<DataOutcome>();
  start(into(outcome));
  EXPECT_TRUE(test::pumpMainUntil([&] { return outcome->done; }));
  return *outcome;
}

struct DownloadOutcome {
  bool done = false;
  bool onMain = false;
  std::optional<std::filesystem::path> location;
  std::optional<Error> error;
};

DownloadOutcome download(KIVOHTTP& http, const std::string& url, const std::filesystem::path& destination) {
  auto outcome = std::make_shared<DownloadOutcome>();
  http.downloadWithURL(url, destination, [outcome](auto location, auto, auto error) {
    // Failures complete on the session queue: hop to main, as callers do, before touching state.
    dispatch::Queue::main().async([outcome, onMain = dispatch::Queue::main().isCurrent(), location, error] {
      outcome->onMain = onMain;
      outcome->location = location;
      outcome->error = error;
      outcome->done = true;
    });
  });
  EXPECT_TRUE(test::pumpMainUntil([&] { return outcome->done; }));
  return *outcome;
}

std::string text(const std::optional<Bytes>& bytes) { return bytes ? std::string(bytes->begin(), bytes->end()) : "(none)"; }
Bytes bytes(std::string_view s) { return {s.begin(), s.end()}; }

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

class HTTPTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    KIVOHTTP::setDefaultCertificateAuthorityFile(test::TestCertificates::shared().caFile);
  }
  static void TearDownTestSuite() { KIVOHTTP::setDefaultCertificateAuthorityFile(std::nullopt); }
};

TEST_F(HTTPTest, RequestKindsSendWhatTheyBuild) {
  TestHTTPServer server;
  Bytes receivedFile;
  server.on("/echo", [&receivedFile](const httplib::Request& req, httplib::Response& res) {
    res.status = req.has_param("status") ? std::stoi(req.get_param_value("status")) : 200;
    if (req.has_file("afp")) {
      const std::string content = req.get_file_value("afp").content;
      receivedFile.assign(content.begin(), content.end());
    }
    res.set_content("answer to " + req.method, "text/plain");
  });
  KIVOHTTP http({{"X-Kivo-Application-Id", "app"}, {"Content-Type", "text/common"}});

  const auto get = request([&](auto done) { http.getWithURL(server.url("/echo?status=500"), done); });
  EXPECT_TRUE(get.onMain);
  EXPECT_FALSE(get.error);
  EXPECT_EQ(text(get.body), "answer to GET");
  ASSERT_TRUE(get.response);
  EXPECT_EQ(get.response->statusCode, 500);
  EXPECT_EQ(get.response->valueForHTTPHeaderField("content-type"), "text/plain");

  const Bytes afp{1, 2, 0, 255, '\r', '\n'};
  const auto post = request([&](auto done) {
    http.postWithURL(server.url("/echo"), {{"k", "v"}}, "afp", "q.afp", "application/octet-stream", afp, done);
  });
  EXPECT_EQ(text(post.body), "answer to POST");
  EXPECT_EQ(receivedFile, afp);
  const auto json = request([&](auto done) { http.postWithURLJSONData(server.url("/echo"), bytes(R"({"a":1})"), done); });
  EXPECT_EQ(text(json.body), "answer to POST");

  const auto seen = server.requests();
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(seen[0].header("Content-Type"), "text/common");  // sent as given in a GET
  EXPECT_FALSE(seen[0].hasHeader("Accept"));
  EXPECT_EQ(seen[0].body, "");
  EXPECT_EQ(seen[1].header("Content-Type").rfind("multipart/form-data; charset=utf-8; boundary=----KIVO-Boundary-", 0), 0u);
  EXPECT_EQ(seen[2].header("Content-Type"), "application/json");
  EXPECT_EQ(seen[2].header("Accept"), "application/json");
  EXPECT_EQ(seen[2].body, R"({"a":1})");

  // The multipart bytes exactly as they arrive, over plain http to a raw server.
  RawHTTPServer raw([](size_t, const std::string&) { return std::string("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"); });
  http.allowsInsecureHTTP = true;
  request([&](auto done) { http.postWithURL(raw.url("/m"), {{"k", "v"}}, "afp", "q.afp", "application/octet-stream", afp, done); });
  request([&](auto done) { http.deleteWithURL(raw.url("/m"), {}, std::nullopt, std::nullopt, std::nullopt, std::nullopt, done); });
  const auto wire = raw.requests();
  ASSERT_EQ(wire.size(), 2u);
  std::string boundaries[2];
  for (size_t i : {0, 1}) {
    const std::string& r = wire[i];
    EXPECT_EQ(r.rfind(i == 0 ? "POST /m HTTP/1.1\r\n" : "DELETE /m HTTP/1.1\r\n", 0), 0u) << r;
    const size_t at = r.find("boundary=") + 9;
    boundaries[i] = r.substr(at, r.find("\r\n", at) - at);
    EXPECT_EQ(r.find("Content-Type: text/common"), std::string::npos);  // replaced
    const Bytes expected = i == 0 ? KIVOHTTP::bodyDataWithBoundary(boundaries[i], {{"k", "v"}}, "afp", "q.afp",
                                                                   "application/octet-stream", afp)
                                  : KIVOHTTP::bodyDataWithBoundary(boundaries[i], {}, {}, {}, {}, {});
    const std::string body(expected.begin(), expected.end());
    EXPECT_NE(r.find("\r\nContent-Length: " + std::to_string(expected.size()) + "\r\n"), std::string::npos) << r;
    EXPECT_EQ(r.substr(r.find("\r\n\r\n") + 4), body);
  }
  EXPECT_NE(boundaries[0], boundaries[1]);  // a new boundary each time
}

TEST_F(HTTPTest, HeaderOrderOnTheWireAndPlainHTTPOnlyWhenAllowed) {
  RawHTTPServer raw([](size_t, const std::string&) { return std::string("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"); });
  test::LogCapture log;
  KIVOHTTP refusing({{"B-Second", "2"}, {"A-First", "1"}});
  const auto refused = request([&](auto done) { refusing.postWithURL(raw.url("/p"), {}, done); });
  ASSERT_TRUE(refused.error);
  EXPECT_EQ(refused.error->code, KIVOHTTPErrorInsecureURLRefused);
  EXPECT_TRUE(log.contains("[ERROR] KIVOHTTP refuses insecure URL " + raw.url("/p")));
  EXPECT_TRUE(raw.requests().empty());

  KIVOHTTP http({{"B-Second", "2"}, {"A-First", "1"}});
  http.allowsInsecureHTTP = true;
  const auto sent = request([&](auto done) { http.postWithURL(raw.url("/p"), {}, done); });
  EXPECT_EQ(text(sent.body), "ok");
  EXPECT_TRUE(log.contains("[WARN] KIVOHTTP sends over plain http: " + raw.url("/p")));
  ASSERT_EQ(raw.requests().size(), 1u);
  const std::string wire = raw.requests()[0];
  const size_t b = wire.find("\r\nB-Second: 2\r\n"), a = wire.find("\r\nA-First: 1\r\n"),
               type = wire.find("\r\nContent-Type: multipart/form-data"), length = wire.find("\r\nContent-Length: ");
  ASSERT_NE(length, std::string::npos) << wire;
  EXPECT_LT(b, a);
  EXPECT_LT(a, type);
  EXPECT_LT(type, length);
  EXPECT_EQ(wire.find("Accept"), std::string::npos);
  EXPECT_EQ(wire.find("Expect"), std::string::npos);
}

TEST_F(HTTPTest, BlockingPostJudgesTheStatus) {
  TestHTTPServer server;
  server.on("/status", [](const httplib::Request& req, httplib::Response& res) {
    res.status = std::stoi(req.get_param_value("s"));
    res.set_content("body " + req.get_param_value("s"), "application/json");
  });
  test::LogCapture log;
  KIVOHTTP http;
  for (int status : {200, 201, 299}) {
    EXPECT_EQ(text(http.syncPostWithURLJSONData(server.url("/status?s=" + std::to_string(status)), bytes("{}"))),
              "body " + std::to_string(status));
  }
  for (int status : {300, 404, 500}) {
    EXPECT_FALSE(http.syncPostWithURLJSONData(server.url("/status?s=" + std::to_string(status)), bytes("{}")));
    EXPECT_TRUE(log.contains("KIVOHTTP request succeed but got status " + std::to_string(status)));
  }
  // 199 is no final answer: the server's closing of the exchange ends it without a body.
  RawHTTPServer raw([](size_t, const std::string&) { return std::string("HTTP/1.1 199 Odd\r\nContent-Length: 0\r\n\r\n"); });
  http.allowsInsecureHTTP = true;
  EXPECT_FALSE(http.syncPostWithURLJSONData(raw.url("/s"), bytes("{}")));

  const std::string closed = server.url("/status").replace(server.url("").find(std::to_string(server.port())),
                                                           std::to_string(server.port()).size(), "1");
  EXPECT_FALSE(http.syncPostWithURLJSONData(closed, bytes("{}")));
  bool sawNoResponse = false;
  for (const auto& line : log.lines()) sawNoResponse |= line.rfind("KIVOHTTP request failed with status -1: ", 0) == 0;
  EXPECT_TRUE(sawNoResponse);
}

TEST_F(HTTPTest, DownloadReplacesTheFileOnlyOnA200) {
  TestHTTPServer server;
  server.on("/pack", [](const httplib::Request& req, httplib::Response& res) {
    res.status = req.has_param("s") ? std::stoi(req.get_param_value("s")) : 200;
    res.set_content(std::string(100000, 'n'), "application/octet-stream");
  });
  server.on("/cut", [](const httplib::Request&, httplib::Response& res) {
    res.set_content_provider(1000, "application/octet-stream", [](size_t offset, size_t, httplib::DataSink& sink) {
      if (offset > 0) return false;  // drop the connection after the first 100 bytes
      return sink.write(std::string(100, 'c').data(), 100);
    });
  });
  test::TempDir dir;
  const auto target = dir / "KIVOAudioDB.pack";
  std::ofstream(target) << "old";
  KIVOHTTP http(HTTPHeaders{{"authorization", "Bearer secret-token"}});

  const auto ok = download(http, server.url("/pack"), target);
  EXPECT_TRUE(ok.onMain);
  EXPECT_FALSE(ok.error);
  EXPECT_EQ(ok.location, target);
  EXPECT_EQ(readFile(target), std::string(100000, 'n'));
  EXPECT_FALSE(server.requests().at(0).hasHeader("authorization"));

  std::ofstream(target) << "old";
  struct Case {
    std::string path;
    std::string description;
  };
  const Case failures[] = {
      {"/pack?s=206", "Server returns status code 206"},
      {"/pack?s=304", "Server returns status code 304"},
      {"/pack?s=404", "Server returns status code 404"},
      {"/cut", "NSURLSessionDownloadTask responses error: "},
  };
  for (const auto& c : failures) {
    const auto failed = download(http, server.url(c.path), target);
    ASSERT_TRUE(failed.error) << c.path;
    EXPECT_FALSE(failed.onMain) << c.path;  // failures arrive on the session queue
    EXPECT_EQ(failed.error->code, 504);
    EXPECT_EQ(failed.error->domain, "KIVO");
    EXPECT_EQ(failed.error->localizedDescription.value_or("").rfind(c.description, 0), 0u) << *failed.error->localizedDescription;
    EXPECT_EQ(readFile(target), "old") << c.path;
  }
  http.maximumDownloadSize = 1000;
  const auto tooBig = download(http, server.url("/pack"), target);
  ASSERT_TRUE(tooBig.error);
  EXPECT_EQ(readFile(target), "old");

  const auto nowhere = download(http, server.url("/pack"), dir / "missing" / "x.pack");
  ASSERT_TRUE(nowhere.error);
  EXPECT_EQ(nowhere.error->localizedDescription.value_or("").rfind("Failed to rename downloaded file: ", 0), 0u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);  // no temporary file left
}

TEST_F(HTTPTest, ShortenedTimeoutsEndStalledAnswers) {
  TestHTTPServer server;
  server.on("/slow-headers", [&server](const httplib::Request&, httplib::Response& res) {
    server.waitForRelease(std::chrono::seconds(20));
    res.set_content("late", "text/plain");
  });
  server.on("/trickle", [&server](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("text/plain", [&server](size_t, httplib::DataSink& sink) {
      if (server.waitForRelease(std::chrono::milliseconds(50))) return false;
      return sink.write("x", 1);  // a byte every 50 ms, never idle and never done
    });
  });
  KIVOHTTP http;
  http.requestTimeout = 0.3;
  http.resourceTimeout = 0.6;
  for (const char* path : {"/slow-headers", "/trickle"}) {
    const auto started = std::chrono::steady_clock::now();
    const auto outcome = request([&](auto done) { http.getWithURL(server.url(path), done); });
    ASSERT_TRUE(outcome.error) << path;
    EXPECT_EQ(outcome.error->code, KIVOHTTPErrorTimedOut) << path << " " << outcome.error->description();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5)) << path;
  }
}

TEST_F(HTTPTest, BadAnswersEndInTransportErrors) {
  RawHTTPServer raw([](size_t index, const std::string&) -> std::string {
    switch (index) {
      case 0: return "garbage that is no HTTP\r\n\r\n";
      case 1: return "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly ten.";
      case 2: return "RESET";
      case 3: return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nabc";
      default: return "HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\nxyz";
    }
  });
  TestHTTPServer server;
  server.on("/endless", [](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("application/octet-stream", [](size_t, httplib::DataSink& sink) {
      static const std::string block(64 * 1024, 'e');
      return sink.write(block.data(), block.size());
    });
  });
  KIVOHTTP http;
  http.allowsInsecureHTTP = true;
  http.maximumBodySize = 1 << 20;
  for (int i = 0; i < 5; ++i) {
    const auto outcome = request([&](auto done) { http.getWithURL(raw.url("/bad"), done); });
    ASSERT_TRUE(outcome.error) << i << " " << text(outcome.body);
    EXPECT_EQ(outcome.error->domain, KIVOHTTPErrorDomain);
    EXPECT_FALSE(outcome.body) << i;
  }
  const auto endless = request([&](auto done) { http.getWithURL(server.url("/endless"), done); });
  ASSERT_TRUE(endless.error);
  EXPECT_EQ(endless.error->code, KIVOHTTPErrorDataLengthExceedsMaximum);
}

TEST_F(HTTPTest, CertificateNotSignedByTheTrustedCAIsRefused) {
  TestHTTPServer rogue(TestHTTPServer::Scheme::kHTTPSRogue);
  rogue.on("/x", [](const httplib::Request&, httplib::Response& res) { res.set_content("no", "text/plain"); });
  KIVOHTTP http;
  const auto outcome = request([&](auto done) { http.getWithURL(rogue.url("/x"), done); });
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->code, KIVOHTTPErrorServerCertificateUntrusted) << outcome.error->description();
  EXPECT_EQ(rogue.requestCount(), 0u);
}

TEST_F(HTTPTest, RedirectsKeepCredentialsOnlyWithinTheOrigin) {
  TestHTTPServer home, other;
  TestHTTPServer plain(TestHTTPServer::Scheme::kHTTP);
  auto to = [](std::string target, int status) {
    return [target, status](const httplib::Request&, httplib::Response& res) { res.set_redirect(target, status); };
  };
  auto echo = [](const httplib::Request& req, httplib::Response& res) { res.set_content(req.method + ":" + req.body, "text/plain"); };
  home.on("/same", to("/landing", 307));
  home.on("/landing", echo);
  home.on("/away302", to(other.url("/landing"), 302));
  home.on("/away307", to(other.url("/landing"), 307));
  home.on("/down", to(plain.url("/landing"), 302));
  home.on("/loop", to("/loop", 302));
  other.on("/landing", echo);
  plain.on("/landing", echo);
  KIVOHTTP http({{"X-Kivo-Application-Id", "app"}, {"X-Kivo-Secret-Key", "s3cret"}});
  http.allowsInsecureHTTP = true;  // still no step down from https

  const auto same = request([&](auto done) { http.postWithURLJSONData(home.url("/same"), bytes("{\"k\":1}"), done); });
  EXPECT_EQ(text(same.body), "POST:{\"k\":1}");
  EXPECT_EQ(home.requests().back().header("X-Kivo-Secret-Key"), "s3cret");

  for (const char* path : {"/away302", "/away307"}) {
    const auto away = request([&](auto done) { http.postWithURLJSONData(home.url(path), bytes("{\"k\":1}"), done); });
    EXPECT_EQ(text(away.body), "GET:") << path;
    const auto landed = other.requests().back();
    EXPECT_FALSE(landed.hasHeader("X-Kivo-Secret-Key")) << path;
    EXPECT_FALSE(landed.hasHeader("X-Kivo-Application-Id")) << path;
    EXPECT_EQ(landed.body, "") << path;
  }
  const auto down = request([&](auto done) { http.getWithURL(home.url("/down"), done); });
  ASSERT_TRUE(down.error);
  EXPECT_EQ(down.error->code, KIVOHTTPErrorInsecureURLRefused);
  EXPECT_EQ(plain.requestCount(), 0u);
  const auto loop = request([&](auto done) { http.getWithURL(home.url("/loop"), done); });
  ASSERT_TRUE(loop.error);
  EXPECT_EQ(loop.error->code, KIVOHTTPErrorTooManyRedirects);
}

TEST_F(HTTPTest, CredentialsNeverReachTheLogAndControlCharactersNeverTheWire) {
  TestHTTPServer server;
  server.on("/auth", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"({"token":"tok-from-server","nested":{"secret_key":"sk-answer"}})", "application/json");
  });
  test::LogCapture log;
  KIVOHTTP http({{"X-Kivo-Secret-Key", "sk-header"}, {"Authorization", "Bearer tok-header"}});
  http.verboseRequest = http.verboseResponse = true;
  request([&](auto done) { http.postWithURL(server.url("/auth"), {{"app_id", "a"}, {"secret_key", "sk-form"}}, done); });
  request([&](auto done) {
    http.postWithURLJSONData(server.url("/auth"), bytes(R"({"secret_key":"sk-json","list":[{"token":"tok-json"}]})"), done);
  });
  http.syncPostWithURLJSONData(server.url("/auth"), bytes(R"({"token":"tok-sync"})"));
  download(http, server.url("/auth"), test::TempDir().path() / "none");
  ASSERT_GT(log.lines().size(), 10u);
  for (const auto& line : log.lines()) {
    for (const char* secret : {"sk-", "tok-", "Bearer"}) EXPECT_EQ(line.find(secret), std::string::npos) << line;
  }
  EXPECT_TRUE(log.contains("KIVOHTTP Response Status 200:\n{\"token\":\"<redacted>\",\"nested\":{\"secret_key\":\"<redacted>\"}}"));

  const size_t before = server.requestCount();
  for (const std::string& token : {std::string("abc\r\nX-Injected: 1"), std::string("abc\0def", 7), std::string("del\x7f")}) {
    KIVOHTTP injected(HTTPHeaders{{"authorization", token}});
    const auto outcome = request([&](auto done) { injected.getWithURL(server.url("/auth"), done); });
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->code, KIVOHTTPErrorInvalidHeader);
  }
  EXPECT_EQ(server.requestCount(), before);
}

TEST_F(HTTPTest, ConcurrentStartsAndClientsReleasedInFlight) {
  TestHTTPServer server;
  server.on("/hold", [&server](const httplib::Request&, httplib::Response& res) {
    server.waitForRelease(std::chrono::seconds(20));
    res.set_content("held", "text/plain");
  });
  server.on("/now", [](const httplib::Request&, httplib::Response& res) { res.set_content("now", "text/plain"); });
  std::atomic<int> completed{0};
  auto count = [&completed](auto body, auto, auto error) {
    if (body && !error) ++completed;
  };
  {
    KIVOHTTP http;
    for (int i = 0; i < 5; ++i) http.getWithURL(server.url("/hold"), count);
  }  // released with five requests in flight
  server.release();
  KIVOHTTP shared;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 10; ++i) shared.postWithURLJSONData(server.url("/now"), bytes("{}"), count);
    });
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(test::pumpMainUntil([&] { return completed == 45; })) << completed;
}

}  // namespace
}  // namespace kivo
