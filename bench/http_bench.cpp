// The JSON POST round trip through KIVOHTTP against a local HTTPS server (TLS, reused connections):
// requests per second and latency, one caller and ten concurrent callers. Real time: the work is
// on the network thread and the server's threads.
#include <benchmark/benchmark.h>

#include "common/test_http_server.h"
#include "kivo/http.h"

namespace {

struct Fixture {
  kivo::test::TestHTTPServer server{kivo::test::TestHTTPServer::Scheme::kHTTPS, true};
  std::unique_ptr<kivo::KIVOHTTP> http;
  Fixture() {
    server.on("/activity", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(R"({"success":1,"result":{"campaign":[]}})", "application/json");
    });
    kivo::KIVOHTTP::setDefaultCertificateAuthorityFile(kivo::test::TestCertificates::shared().caFile);
    http = std::make_unique<kivo::KIVOHTTP>(kivo::HTTPHeaders{{"authorization", "Bearer bench"}});
  }
};

Fixture& fixture() {
  static auto* instance = new Fixture;  // shared by every benchmark thread; lives for the run
  return *instance;
}

// One blocking JSON POST per iteration on each calling thread.
void BM_JSONPost(benchmark::State& state) {
  auto& f = fixture();
  const std::string url = f.server.url("/activity");
  const std::string text = R"({"app_id":"bench","media_id":"m-0001","position":12.5,"created":"2025-03-02T00:00:00+0000"})";
  const kivo::Bytes body(text.begin(), text.end());
  size_t failures = 0;
  for (auto _ : state) failures += !f.http->syncPostWithURLJSONData(url, body);
  state.SetItemsProcessed(state.iterations());
  state.counters["failures"] = static_cast<double>(failures);
}
BENCHMARK(BM_JSONPost)->Threads(1)->Threads(10)->UseRealTime();

}  // namespace
