// A fresh manager per case against a scripted local HTTPS console, on the virtual clock, with its
// own data directory, an injectable network and captured log lines and error notifications.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/log_capture.h"
#include "common/main_queue_wait.h"
#include "common/settings_sandbox.h"
#include "common/test_http_server.h"
#include "common/virtual_time.h"
#include "kivo/manager.h"
#include "kivo/notification_center.h"

namespace kivo::test {

// Writes a pack holding one "cf" media per identifier.
void writePack(const std::filesystem::path& path, const std::vector<std::string>& ids, uint8_t seed = 1);
Bytes readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const Bytes& bytes);
// The identifiers a matcher holds, sorted.
std::vector<std::string> identifiers(const KIVOMatcher& matcher);

// Flags the test sets; changes reach the monitor as the kernel's events would.
class FakeReachabilitySource final : public ReachabilitySource {
 public:
  std::optional<uint32_t> currentFlags() override { return flags_.load(); }
  void start(std::function<void(uint32_t)> onChange) override {
    std::lock_guard lock(mutex_);
    onChange_ = std::move(onChange);
  }
  void stop() override {}  // shared by the managers of one test; the last one started is told
  void set(bool reachable);

 private:
  std::atomic<uint32_t> flags_{kKIVONetworkReachabilityFlagsReachable};
  std::mutex mutex_;
  std::function<void(uint32_t)> onChange_;
};

// Holds handlers while closed (at most 20 s).
class Gate {
 public:
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  void open() {
    {
      std::lock_guard lock(mutex_);
      closed_ = false;
    }
    changed_.notify_all();
  }
  void pass() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(20), [&] { return !closed_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool closed_ = false;
};

// "/api/auth" answers with auth(n) for the n-th request (from 0): a status and a body. "/pack"
// serves pack. Either may stall until release().
struct ConsoleAnswer {
  int status = 200;
  std::string body;
};

class ManagerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();
  void SetUp() override;
  void TearDown() override;

  // Waits (pumping the main queue) until the status is status and n auth requests were made.
  void waitFor(int32_t status, size_t authRequests);
  size_t authCount() const;
  std::vector<RecordedRequest> authRequests() const;
  // The form fields of the n-th auth request.
  std::map<std::string, std::string> authForm(size_t n) const;
  size_t packCount() const;
  std::filesystem::path dataFile(const std::string& name) const { return sandbox_->path() / name; }
  std::optional<std::string> stored(std::string_view key) const;
  std::vector<int64_t> errorCodes() const;
  std::string packURL() const { return server->url("/pack"); }
  // A JSON answer of "token", "updated", "v" and "url" (each left out when empty).
  static std::string answer(const std::string& token, int updated, const std::string& v, const std::string& url);

  std::unique_ptr<VirtualTime> time;
  std::unique_ptr<SettingsSandbox> sandbox_;
  std::unique_ptr<LogCapture> log;
  std::unique_ptr<TestHTTPServer> server;
  std::shared_ptr<FakeReachabilitySource> network;
  std::shared_ptr<KIVOManager> manager;

  mutable std::mutex mutex;
  std::function<ConsoleAnswer(size_t)> auth = [](size_t) { return ConsoleAnswer{200, answer("tok", 0, "", "")}; };
  Bytes pack;
  std::string recent;  // the body of "/api/v1_prefix/update_afp"
  Gate authGate, packGate;
  std::vector<int64_t> errors_;
  std::vector<std::map<std::string, std::string>> authForms_;
  ScopedObserver errorObserver_;
};

}  // namespace kivo::test
