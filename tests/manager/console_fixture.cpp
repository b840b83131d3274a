#include "console_fixture.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "audiopack/audio_pack_dumper.h"
#include "kivo/error.h"
#include "kivo/http.h"
#include "kivo/kivo_matcher.h"
#include "platform/user_defaults.h"

namespace kivo::test {

void writePack(const std::filesystem::path& path, const std::vector<std::string>& ids, uint8_t seed) {
  auto dumper = KIVOAudioPackDumper::startDumpWithPathURL(path);
  nlohmann::json media = nlohmann::json::object();
  for (size_t i = 0; i < ids.size(); ++i) {
    Bytes afp(800);
    for (size_t k = 0; k < afp.size(); ++k) afp[k] = uint8_t((seed + i) * 31 + k * 7 + (k >> 3));
    dumper->addAFP({ids[i], 0, afp});
    media[ids[i]] = {{"type", "cf"}, {"title", ids[i]}};
  }
  ASSERT_TRUE(dumper->finishWithMetadata({{"media", media}}));
}

Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<std::string> identifiers(const KIVOMatcher& matcher) {
  std::vector<std::string> out;
  matcher.forEachAudioPack([&](const KIVOAudioPackAFPData& d) { out.push_back(d.identifier.value_or("?")); });
  std::sort(out.begin(), out.end());
  return out;
}

void FakeReachabilitySource::set(bool reachable) {
  const uint32_t flags = reachable ? kKIVONetworkReachabilityFlagsReachable : 0;
  flags_ = flags;
  std::lock_guard lock(mutex_);
  if (onChange_) onChange_(flags);
}

void ManagerTest::SetUpTestSuite() {
  KIVOHTTP::setDefaultCertificateAuthorityFile(TestCertificates::shared().caFile);
}

void ManagerTest::TearDownTestSuite() { KIVOHTTP::setDefaultCertificateAuthorityFile(std::nullopt); }

void ManagerTest::SetUp() {
  time = std::make_unique<VirtualTime>();
  sandbox_ = std::make_unique<SettingsSandbox>();
  log = std::make_unique<LogCapture>();
  server = std::make_unique<TestHTTPServer>();
  server->on("/api/auth", [this](const httplib::Request& request, httplib::Response& response) {
    {
      std::map<std::string, std::string> form;
      for (const auto& [name, field] : request.files) form[name] = field.content;
      std::lock_guard lock(mutex);
      authForms_.push_back(std::move(form));
    }
    authGate.pass();
    ConsoleAnswer a;
    {
      std::lock_guard lock(mutex);
      a = auth(authCount() - 1);
    }
    response.status = a.status;
    response.set_content(a.body, "application/json");
  });
  server->on("/pack", [this](const httplib::Request&, httplib::Response& response) {
    packGate.pass();
    std::lock_guard lock(mutex);
    response.set_content(std::string(pack.begin(), pack.end()), "application/octet-stream");
  });
  server->on("/redirect", [this](const httplib::Request&, httplib::Response& response) {
    response.set_redirect(server->url("/pack").replace(0, 5, "http"));
  });
  server->on("/api/v1_prefix/update_afp", [this](const httplib::Request&, httplib::Response& response) {
    std::lock_guard lock(mutex);
    response.set_content(recent, "text/plain");
  });
  errorObserver_ = ScopedObserver(NotificationCenter::defaultCenter(), std::string(KIVOError::errorNotificationName()),
                                  [this](const Notification& n) {
                                    std::lock_guard lock(mutex);
                                    errors_.push_back(std::any_cast<Error>(n.object).code);
                                  });
  network = std::make_shared<FakeReachabilitySource>();
  manager = KIVOManager::makeIndependent(network);
  manager->setApiEndpoint(server->url("/api"));
  manager->setApplicationID("app");
  manager->setSecretKey("secret");
}

void ManagerTest::TearDown() {
  manager->stop();
  authGate.open();
  packGate.open();
  // Let answers still on their way arrive before the manager goes.
  pumpMainUntil([] { return false; }, std::chrono::milliseconds(20));
  time->settle();
  manager.reset();
  errorObserver_.reset();
  server.reset();
  log.reset();
  sandbox_.reset();
  time.reset();
}

void ManagerTest::waitFor(int32_t status, size_t requests) {
  EXPECT_TRUE(pumpMainUntil([&] { return manager->prepareStatus() == status && authCount() == requests; }))
      << "status " << manager->prepareStatus() << " requests " << authCount();
}

std::vector<RecordedRequest> ManagerTest::authRequests() const {
  std::vector<RecordedRequest> out;
  for (auto& r : server->requests())
    if (r.path == "/api/auth") out.push_back(r);
  return out;
}

std::map<std::string, std::string> ManagerTest::authForm(size_t n) const {
  std::lock_guard lock(mutex);
  return n < authForms_.size() ? authForms_[n] : std::map<std::string, std::string>{};
}

size_t ManagerTest::authCount() const { return authRequests().size(); }

size_t ManagerTest::packCount() const { return server->requestCount() - authCount(); }

std::optional<std::string> ManagerTest::stored(std::string_view key) const {
  const auto value = UserDefaults::standard()->object(key);
  if (!value || !value->get<std::string>()) return std::nullopt;
  return *value->get<std::string>();
}

std::vector<int64_t> ManagerTest::errorCodes() const {
  std::lock_guard lock(mutex);
  return errors_;
}

std::string ManagerTest::answer(const std::string& token, int updated, const std::string& v, const std::string& url) {
  nlohmann::json j = nlohmann::json::object();
  if (!token.empty()) j["token"] = token;
  j["updated"] = updated;
  if (!v.empty()) j["v"] = v;
  if (!url.empty()) j["url"] = url;
  return j.dump();
}

}  // namespace kivo::test
