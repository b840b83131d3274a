#include "common/test_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "common/temp_dir.h"

namespace kivo::test {
namespace {

void run(const std::string& command) {
  if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) throw std::runtime_error("failed: " + command);
}

TestCertificates makeCertificates(const std::filesystem::path& dir) {
  const std::string d = dir.string();
  const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  const std::string names = "subjectAltName=IP:127.0.0.1,DNS:localhost";
  run("openssl req -x509 " + key + " -keyout " + d + "/ca.key -out " + d + "/ca.pem -days 3 -subj /CN=KivoTestCA" +
      " -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign");
  run("openssl req " + key + " -keyout " + d + "/server.key -out " + d + "/server.csr -subj /CN=127.0.0.1");
  std::ofstream(dir / "server.ext") << names << "\nbasicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n";
  run("openssl x509 -req -in " + d + "/server.csr -CA " + d + "/ca.pem -CAkey " + d + "/ca.key -CAcreateserial -out " +
      d + "/server.pem -days 3 -extfile " + d + "/server.ext");
  run("openssl req -x509 " + key + " -keyout " + d + "/rogue.key -out " + d + "/rogue.pem -days 3 -subj /CN=127.0.0.1" +
      " -addext " + names);
  return {dir / "ca.pem", dir / "server.pem", dir / "server.key", dir / "rogue.pem", dir / "rogue.key"};
}

}  // namespace

const TestCertificates& TestCertificates::shared() {
  static TempDir dir;
  static const TestCertificates certificates = makeCertificates(dir.path());
  return certificates;
}

std::string RecordedRequest::header(const std::string& name) const {
  auto found = headers.find(name);
  return found == headers.end() ? "" : found->second;
}

TestHTTPServer::TestHTTPServer(Scheme scheme, bool keepAlive) {
  if (scheme == Scheme::kHTTP) {
    server_ = std::make_unique<httplib::Server>();
    scheme_ = "http";
  } else {
    const auto& c = TestCertificates::shared();
    const bool rogue = scheme == Scheme::kHTTPSRogue;
    server_ = std::make_unique<httplib::SSLServer>((rogue ? c.rogueCert : c.serverCert).c_str(),
                                                   (rogue ? c.rogueKey : c.serverKey).c_str());
    scheme_ = "https";
  }
  if (!server_->is_valid()) throw std::runtime_error("test server could not be made");
  if (keepAlive) {
    server_->set_keep_alive_timeout(1);
  } else {
    server_->set_keep_alive_max_count(1);  // no idle connection keeps stop() waiting
  }
  server_->new_task_queue = [] { return new httplib::ThreadPool(16); };
  server_->set_tcp_nodelay(true);
  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("test server could not bind");
  thread_ = std::thread([this] { server_->listen_after_bind(); });
}

TestHTTPServer::~TestHTTPServer() {
  release();
  server_->stop();
  thread_.join();
}

void TestHTTPServer::on(const std::string& path, Handler handler) {
  auto wrapped = [this, handler = std::move(handler)](const httplib::Request& request, httplib::Response& response) {
    {
      std::lock_guard lock(mutex_);
      requests_.push_back({request.method, request.path, request.headers, request.body});
    }
    handler(request, response);
  };
  server_->Get(path, wrapped);
  server_->Post(path, wrapped);
  server_->Delete(path, wrapped);
}

std::string TestHTTPServer::url(const std::string& path) const {
  return scheme_ + "://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<RecordedRequest> TestHTTPServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

size_t TestHTTPServer::requestCount() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

bool TestHTTPServer::waitForRelease(std::chrono::milliseconds limit) {
  std::unique_lock lock(mutex_);
  return released_.wait_for(lock, limit, [this] { return releasedFlag_; });
}

void TestHTTPServer::release() {
  std::lock_guard lock(mutex_);
  releasedFlag_ = true;
  released_.notify_all();
}

RawHTTPServer::RawHTTPServer(Answer answer) : answer_(std::move(answer)) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener_, 16) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("raw test server could not listen");
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

RawHTTPServer::~RawHTTPServer() {
  stopping_ = true;
  ::shutdown(listener_, SHUT_RDWR);  // wakes accept()
  thread_.join();
  ::close(listener_);
}

std::string RawHTTPServer::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::vector<std::string> RawHTTPServer::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void RawHTTPServer::serve() {
  for (size_t index = 0; !stopping_; ++index) {
    const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) return;
    timeval timeout{5, 0};
    ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    std::string request;
    size_t wanted = std::string::npos;
    char buffer[4096];
    while (request.size() < wanted) {
      const ssize_t n = ::recv(connection, buffer, sizeof buffer, 0);
      if (n <= 0) break;
      request.append(buffer, size_t(n));
      const size_t end = request.find("\r\n\r\n");
      if (wanted == std::string::npos && end != std::string::npos) {
        size_t body = 0;
        std::string head = request.substr(0, end);
        for (auto& c : head) c = char(std::tolower(static_cast<unsigned char>(c)));
        if (size_t at = head.find("\r\ncontent-length:"); at != std::string::npos)
          body = std::stoul(head.substr(at + 17));
        wanted = end + 4 + body;
      }
    }
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(request);
    }
    const std::string reply = answer_(index, request);
    if (reply == "RESET") {
      linger hard{1, 0};
      ::setsockopt(connection, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    } else {
      for (size_t sent = 0; sent < reply.size();) {
        const ssize_t n = ::send(connection, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += size_t(n);
      }
      ::shutdown(connection, SHUT_WR);
    }
    ::close(connection);
  }
}

}  // namespace kivo::test

// cpp-httplib comes uninstrumented, so ThreadSanitizer cannot see its own synchronisation between
// the server's worker threads; its reports there are about the test server, not the library.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libcpp-httplib.so\ncalled_from_lib:libcpp-httplib.so\n";
}
