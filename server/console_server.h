// kivo-console's HTTP(S) server: every console endpoint under a base path, on cpp-httplib with a
// pool of connection threads, request-size caps, read/write timeouts, a per-client rate limit and
// optional fault switches. Start it, read port(), stop it (or destroy it) from one owning thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "server/console_store.h"
#include "server/faults.h"
#include "server/form_parser.h"

namespace kivo::console {

struct ConsoleOptions {
  std::filesystem::path dataDir;
  std::string host = "127.0.0.1";
  int port = 0;  // 0: an ephemeral port
  std::string basePath = "/api";
  // HTTPS with these PEM files, or with a throw-away pair written to DATA/self-signed.pem.
  std::optional<std::filesystem::path> certFile, keyFile;
  bool selfSigned = false;
  // Scheme, host and port put in download URLs; "" takes them from the request's Host header.
  std::string publicURL;
  int64_t tokenLifetimeSeconds = 24 * 3600;
  size_t connectionThreads = 32;
  int ioTimeoutSeconds = 10;
  int keepAliveSeconds = 5;  // an idle connection closes after this; stop() waits for it
  size_t maxBodyBytes = 8u << 20;
  FormLimits formLimits;
  size_t maxAfpBytes = 64 * 1024;  // 256 s of fingerprint
  size_t matchWorkers = 0;         // 0: one per core
  size_t maxQueuedMatches = 64;
  std::chrono::milliseconds matchTimeout{10000};
  double acceptScore = 22.0;  // best results scoring worse (higher) are not recognised
  double rateLimit = 100;     // requests per second per client address; 0 turns it off
  double rateBurst = 200;
  Faults faults;
  std::function<int64_t()> now;  // seconds since 1970; the system clock when empty
};

class ConsoleServer {
 public:
  // Opens the store and binds the listening socket; throws std::runtime_error on failure.
  explicit ConsoleServer(ConsoleOptions options);
  ~ConsoleServer();
  ConsoleServer(const ConsoleServer&) = delete;
  ConsoleServer& operator=(const ConsoleServer&) = delete;

  // Serves on a thread of its own until stop().
  void start();
  void stop();

  int port() const { return port_; }
  bool https() const;
  // "http(s)://HOST:PORT/api".
  std::string baseURL() const;
  ConsoleStore& store();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
  std::thread thread_;
};

}  // namespace kivo::console
