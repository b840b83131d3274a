#include "server/console_server.h"

#include <httplib.h>

#include <sys/socket.h>

#include <stdexcept>

#include "kivo/log.h"
#include "server/matching_pool.h"
#include "server/rate_limiter.h"
#include "server/route_support.h"
#include "server/self_signed.h"

namespace kivo::console {

struct ConsoleServer::Impl {
  ConsoleOptions options;
  ConsoleStore store;
  MatchingPool pool;
  RateLimiter limiter;
  std::unique_ptr<httplib::Server> server;
  bool https = false;
  std::unique_ptr<RouteContext> context;

  explicit Impl(ConsoleOptions o)
      : options(std::move(o)),
        store(options.dataDir),
        pool(options.matchWorkers ? options.matchWorkers : std::max(1u, std::thread::hardware_concurrency()),
             options.maxQueuedMatches),
        limiter(options.rateLimit, options.rateBurst) {}

  void handle(const std::string& endpoint, const RouteHandler& handler, const httplib::Request& request,
              httplib::Response& response) {
    if (!limiter.allow(request.remote_addr, steadySeconds())) {
      response.set_header("Retry-After", "1");
      answerJSON(response, 429, {{"error", "too many requests"}});
      return;
    }
    const Fault* fault = options.faults.find(endpoint);
    if (fault && fault->delayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(fault->delayMs));
    if (fault && fault->status) {
      answerJSON(response, *fault->status, {{"error", "fault: status " + std::to_string(*fault->status)}});
      return;
    }
    try {
      handler(request, response);
    } catch (const Refusal& refusal) {
      answerJSON(response, refusal.status, {{"error", refusal.message}});
    } catch (const std::exception& e) {
      logLine(std::string("[ERROR] kivo-console ") + endpoint + ": " + e.what());
      answerJSON(response, 500, {{"error", "internal error"}});
    }
    if (fault && fault->malformed) {
      response.status = 200;
      response.set_content("{\"success\": 1, \"result\": ", "application/json");
    }
    if (fault && fault->drop) {
      // Promise a body and close before sending any of it.
      response.body.clear();
      response.set_content_provider(
          1024, "application/json", [](size_t, size_t, httplib::DataSink&) { return false; });
    }
  }

  static double steadySeconds() {
    const auto t = std::chrono::steady_clock::now().time_since_epoch();
    return double(std::chrono::duration_cast<std::chrono::microseconds>(t).count()) / 1e6;
  }
};

ConsoleServer::ConsoleServer(ConsoleOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
  Impl& d = *impl_;
  const ConsoleOptions& o = d.options;
  if (o.selfSigned) {
    SelfSigned pair = makeSelfSigned(o.dataDir / "self-signed.pem");
    d.server = std::make_unique<httplib::SSLServer>(pair.certificate.get(), pair.key.get());
    d.https = true;
  } else if (o.certFile || o.keyFile) {
    if (!o.certFile || !o.keyFile) throw std::runtime_error("HTTPS needs both --cert and --key");
    d.server = std::make_unique<httplib::SSLServer>(o.certFile->c_str(), o.keyFile->c_str());
    d.https = true;
  } else {
    d.server = std::make_unique<httplib::Server>();
  }
  if (!d.server->is_valid()) throw std::runtime_error("cannot start the server (certificate or key unusable)");

  httplib::Server& s = *d.server;
  const size_t threads = o.connectionThreads;
  s.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  s.set_payload_max_length(o.maxBodyBytes);
  s.set_read_timeout(o.ioTimeoutSeconds, 0);
  s.set_write_timeout(o.ioTimeoutSeconds, 0);
  s.set_keep_alive_timeout(o.keepAliveSeconds);
  s.set_tcp_nodelay(true);
  // cpp-httplib reads multipart bodies into its own structures; the console parses forms itself
  // (with its own caps), so the content type moves to a header of ours before the body is read.
  // The request object is not const: the hook merely receives it as such.
  // cpp-httplib reads multipart and urlencoded bodies into its own structures; the console parses
  // forms itself (with its own caps), so the content type moves to a header of ours before the body
  // is read, and every body arrives whole in request.body. The request object is not const: the
  // hook merely receives it as such.
  s.set_pre_routing_handler([](const httplib::Request& request, httplib::Response&) {
    auto& r = const_cast<httplib::Request&>(request);
    r.headers.erase(kFormTypeHeader);
    auto type = r.headers.find("Content-Type");
    if (type != r.headers.end()) {
      r.headers.emplace(kFormTypeHeader, type->second);
      r.headers.erase(type);
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  s.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (response.body.empty()) {
      const char* reason = response.status == 413 ? "request body too large"
                           : response.status == 404 ? "no such endpoint"
                                                    : "bad request";
      answerJSON(response, response.status, {{"error", reason}});
    }
  });

  // cpp-httplib listens with a backlog of 5, so a burst of new connections waits for SYN
  // retransmits (a second each); the socket is remembered here and listens again with room for more.
  auto listener = std::make_shared<int>(-1);
  s.set_socket_options([listener](int sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    *listener = sock;
  });
  port_ = o.port == 0 ? s.bind_to_any_port(o.host) : (s.bind_to_port(o.host, o.port) ? o.port : -1);
  if (port_ <= 0) throw std::runtime_error("cannot listen on " + o.host + ":" + std::to_string(o.port));
  if (*listener >= 0) ::listen(*listener, 512);

  d.context = std::make_unique<RouteContext>(RouteContext{d.options, d.store, d.pool, d.https, port_});
  const RouteAdder add = [&d](const std::string& method, const std::string& pattern, const std::string& endpoint,
                              RouteHandler handler) {
    const std::string path = d.options.basePath + pattern;
    auto wrapped = [&d, endpoint, handler = std::move(handler)](const httplib::Request& q, httplib::Response& r) {
      d.handle(endpoint, handler, q, r);
    };
    if (method == "GET") d.server->Get(path, wrapped);
    if (method == "POST") d.server->Post(path, wrapped);
    if (method == "DELETE") d.server->Delete(path, wrapped);
  };
  addPackRoutes(*d.context, add);
  addQueryRoutes(*d.context, add);
  addCampaignRoutes(*d.context, add);
  addActivityRoutes(*d.context, add);
}

ConsoleServer::~ConsoleServer() { stop(); }

void ConsoleServer::start() {
  thread_ = std::thread([this] { impl_->server->listen_after_bind(); });
  // stop() only ends a loop that has begun: wait for it (listen_after_bind sets the flag first).
  while (!impl_->server->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void ConsoleServer::stop() {
  impl_->server->stop();
  if (thread_.joinable()) thread_.join();
}

bool ConsoleServer::https() const { return impl_->https; }

std::string ConsoleServer::baseURL() const {
  return std::string(impl_->https ? "https" : "http") + "://" + impl_->options.host + ":" + std::to_string(port_) +
         impl_->options.basePath;
}

ConsoleStore& ConsoleServer::store() { return impl_->store; }

}  // namespace kivo::console
