// Real local servers for network tests, listening on 127.0.0.1 with an ephemeral port.
//   TestCertificates  a test CA, a server certificate it signed for 127.0.0.1 and localhost, and a
//                     self-signed one it did not sign; made once per process with the openssl CLI.
//   TestHTTPServer    cpp-httplib over http or https; handlers record each request first.
//   RawHTTPServer     plain TCP: records the exact request bytes and answers with scripted bytes,
//                     for header order and for answers no real server would send.
#pragma once

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

namespace kivo::test {

struct TestCertificates {
  std::filesystem::path caFile;       // trust this
  std::filesystem::path serverCert;   // signed by the CA
  std::filesystem::path serverKey;
  std::filesystem::path rogueCert;    // self-signed, same names
  std::filesystem::path rogueKey;

  // Made on first use in a temporary folder removed at exit.
  static const TestCertificates& shared();
};

struct RecordedRequest {
  std::string method;
  std::string path;
  httplib::Headers headers;
  std::string body;

  std::string header(const std::string& name) const;  // "" when absent
  bool hasHeader(const std::string& name) const { return headers.count(name) > 0; }
};

class TestHTTPServer {
 public:
  enum class Scheme { kHTTP, kHTTPS, kHTTPSRogue };  // kHTTPSRogue presents the certificate the CA did not sign

  // keepAlive lets clients reuse connections (benchmarks); stop() then waits for idle ones to end.
  explicit TestHTTPServer(Scheme scheme = Scheme::kHTTPS, bool keepAlive = false);
  ~TestHTTPServer();  // stops the server, releasing handlers that wait on release()
  TestHTTPServer(const TestHTTPServer&) = delete;
  TestHTTPServer& operator=(const TestHTTPServer&) = delete;

  using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;
  // Registers a handler for an exact path, any of GET, POST and DELETE. Before the first request.
  void on(const std::string& path, Handler handler);

  std::string url(const std::string& path) const;
  int port() const { return port_; }
  std::vector<RecordedRequest> requests() const;
  size_t requestCount() const;

  // For handlers that stall: waits up to limit or until release() / destruction. True if released.
  bool waitForRelease(std::chrono::milliseconds limit);
  void release();

 private:
  std::unique_ptr<httplib::Server> server_;
  std::string scheme_;
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::condition_variable released_;
  bool releasedFlag_ = false;              // guarded by mutex_
  std::vector<RecordedRequest> requests_;  // guarded by mutex_
};

class RawHTTPServer {
 public:
  // answer(n, request bytes) gives the bytes sent back on the n-th connection (from 0); the
  // connection is then closed. An answer may stall by returning after the client gave up.
  using Answer = std::function<std::string(size_t index, const std::string& request)>;
  explicit RawHTTPServer(Answer answer);
  ~RawHTTPServer();
  RawHTTPServer(const RawHTTPServer&) = delete;
  RawHTTPServer& operator=(const RawHTTPServer&) = delete;

  std::string url(const std::string& path) const;
  std::vector<std::string> requests() const;  // exact bytes of each request head and body

 private:
  void serve();
  Answer answer_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;  // guarded by mutex_
};

}  // namespace kivo::test
