#include "network/http_session.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "kivo/format.h"
#include "kivo/log.h"
#include "network/http_url.h"

namespace kivo::net {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr int kMaximumRedirects = 10;
constexpr size_t kMaximumHeaderBytes = 256 * 1024;
constexpr auto kConnectTimeout = std::chrono::seconds(10);
constexpr long kMaximumHostConnections = 10;
constexpr auto kLongestWait = std::chrono::milliseconds(1000);

bool hasControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u < 0x20 && u != '\t') || u == 0x7f;
  });
}

bool isRedirectStatus(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

long milliseconds(std::chrono::nanoseconds d) {
  return static_cast<long>(std::max<int64_t>(1, std::chrono::ceil<std::chrono::milliseconds>(d).count()));
}

KIVOHTTPErrorCode codeForCurl(CURLcode code) {
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT: return KIVOHTTPErrorTimedOut;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY: return KIVOHTTPErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT: return KIVOHTTPErrorCannotConnectToHost;
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM: return KIVOHTTPErrorNetworkConnectionLost;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR: return KIVOHTTPErrorServerCertificateUntrusted;
    case CURLE_SSL_CONNECT_ERROR: return KIVOHTTPErrorSecureConnectionFailed;
    case CURLE_UNSUPPORTED_PROTOCOL: return KIVOHTTPErrorUnsupportedURL;
    case CURLE_URL_MALFORMAT: return KIVOHTTPErrorBadURL;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING: return KIVOHTTPErrorBadServerResponse;
    default: return KIVOHTTPErrorUnknown;
  }
}

// One request in flight, with the answer as it arrives. Touched only by the network thread.
struct Transfer {
  TransferRequest request;
  TransferDone done;
  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  char errorBuffer[CURL_ERROR_SIZE] = {};

  long status = 0;  // of the header block being read
  HTTPHeaders headers;
  size_t headerBytes = 0;
  std::optional<HTTPResponse> response;  // the final status and headers
  std::optional<std::string> redirectTo;
  bool stopped = false;                  // ended by us on purpose, without error
  std::optional<Error> abortError;       // ended by us with this error
  Bytes body;
  size_t bodySize = 0;
  int redirects = 0;

  SteadyClock::time_point lastActivity;
  curl_off_t lastDown = 0;
  curl_off_t lastUp = 0;

  ~Transfer() { release(); }
  void release() {
    if (easy) curl_easy_cleanup(easy);
    easy = nullptr;
    if (headerList) curl_slist_free_all(headerList);
    headerList = nullptr;
  }
  void resetAnswer() {
    status = 0;
    headers.clear();
    headerBytes = 0;
    response.reset();
    redirectTo.reset();
    stopped = false;
    body.clear();
    bodySize = 0;
    errorBuffer[0] = '\0';
  }
};

size_t onHeader(char* data, size_t size, size_t count, void* context) {
  auto& t = *static_cast<Transfer*>(context);
  const size_t n = size * count;
  t.lastActivity = SteadyClock::now();
  t.headerBytes += n;
  if (t.headerBytes > kMaximumHeaderBytes) {
    t.abortError = transportError(KIVOHTTPErrorBadServerResponse, "response headers too large");
    return 0;
  }
  std::string_view line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.starts_with("HTTP/")) {
    t.headers.clear();
    const size_t space = line.find(' ');
    t.status = 0;
    if (space != std::string_view::npos) {
      for (size_t i = space + 1; i < line.size() && i < space + 4 && std::isdigit(static_cast<unsigned char>(line[i])); ++i)
        t.status = t.status * 10 + (line[i] - '0');
    }
    return n;
  }
  if (!line.empty()) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) return n;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    t.headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
    return n;
  }
  if (t.status >= 100 && t.status < 200) return n;  // an interim answer; the final one follows
  t.response = HTTPResponse{t.status, t.request.url, std::move(t.headers)};
  t.headers.clear();
  if (isRedirectStatus(t.status)) {
    if (auto location = t.response->valueForHTTPHeaderField("Location")) {
      t.redirectTo = std::move(*location);
      t.stopped = true;  // its body is of no use
      return 0;
    }
  }
  if (t.request.file && t.status != 200) {
    t.stopped = true;  // a download fails on any other status; no need to read on
    return 0;
  }
  return n;
}

size_t onBody(char* data, size_t size, size_t count, void* context) {
  auto& t = *static_cast<Transfer*>(context);
  const size_t n = size * count;
  t.lastActivity = SteadyClock::now();
  if (t.bodySize + n > t.request.maximumBodySize) {
    t.abortError = transportError(KIVOHTTPErrorDataLengthExceedsMaximum,
                                  format("resource exceeds the maximum size of %lu bytes", t.request.maximumBodySize));
    return 0;
  }
  t.bodySize += n;
  const auto* bytes = reinterpret_cast<const uint8_t*>(data);
  if (t.request.file) {
    if (auto error = t.request.file->append({bytes, n})) {
      t.abortError = transportError(KIVOHTTPErrorCannotWriteToFile, *error);
      return 0;
    }
  } else {
    t.body.insert(t.body.end(), bytes, bytes + n);
  }
  return n;
}

int onProgress(void* context, curl_off_t, curl_off_t down, curl_off_t, curl_off_t up) {
  auto& t = *static_cast<Transfer*>(context);
  if (down != t.lastDown || up != t.lastUp) {
    t.lastDown = down;
    t.lastUp = up;
    t.lastActivity = SteadyClock::now();
  }
  return 0;
}

class Engine {
 public:
  static Engine& shared() {
    static auto* engine = new Engine;  // lives for the process, with its thread
    return *engine;
  }

  void submit(std::unique_ptr<Transfer> transfer) {
    {
      std::lock_guard lock(mutex_);
      incoming_.push_back(std::move(transfer));
    }
    curl_multi_wakeup(multi_);
  }

 private:
  Engine() {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    if (!(curl_version_info(CURLVERSION_NOW)->features & CURL_VERSION_ASYNCHDNS))
      logLine("[WARN] KIVOHTTP: libcurl resolves host names synchronously; a look-up may outlast the timeouts");
    multi_ = curl_multi_init();
    curl_multi_setopt(multi_, CURLMOPT_MAX_HOST_CONNECTIONS, kMaximumHostConnections);
    std::thread([this] { run(); }).detach();
  }

  void run() {
    for (;;) {
      std::deque<std::unique_ptr<Transfer>> incoming;
      {
        std::lock_guard lock(mutex_);
        incoming.swap(incoming_);
      }
      for (auto& transfer : incoming) begin(std::move(transfer));

      int running = 0;
      curl_multi_perform(multi_, &running);
      std::vector<std::pair<CURL*, CURLcode>> ended;
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
        if (message->msg == CURLMSG_DONE) ended.emplace_back(message->easy_handle, message->data.result);
      }
      for (auto [easy, code] : ended) finish(easy, code);
      expireIdle();

      curl_multi_poll(multi_, nullptr, 0, nextWaitMs(), nullptr);
    }
  }

  void begin(std::unique_ptr<Transfer> owned) {
    Transfer& t = *owned;
    TransferRequest& r = t.request;
    const auto url = parseURL(r.url);
    if (!url) return fail(std::move(owned), transportError(KIVOHTTPErrorBadURL, "bad URL"));
    if (url->scheme == "http") {
      if (!r.allowsInsecureHTTP) {
        logLine(format("[ERROR] KIVOHTTP refuses insecure URL %@", r.url));
        return fail(std::move(owned), transportError(KIVOHTTPErrorInsecureURLRefused, "plain http refused"));
      }
      logLine(format("[WARN] KIVOHTTP sends over plain http: %@", r.url));
    } else if (url->scheme != "https") {
      return fail(std::move(owned), transportError(KIVOHTTPErrorUnsupportedURL, "unsupported URL"));
    }
    bool hasAccept = false;
    for (const auto& [name, value] : r.headers) {
      if (hasControlCharacter(name) || hasControlCharacter(value) || name.empty() ||
          name.find(':') != std::string::npos) {
        logLine("[ERROR] KIVOHTTP refuses a header holding control characters");
        return fail(std::move(owned), transportError(KIVOHTTPErrorInvalidHeader, "header holds control characters"));
      }
      hasAccept = hasAccept || equalsIgnoringCase(name, "Accept");
      t.headerList = curl_slist_append(t.headerList, (name + (value.empty() ? ";" : ": " + value)).c_str());
    }
    if (!hasAccept) t.headerList = curl_slist_append(t.headerList, "Accept:");
    t.headerList = curl_slist_append(t.headerList, "Expect:");

    CURL* e = t.easy = curl_easy_init();
    if (!e) return fail(std::move(owned), transportError(KIVOHTTPErrorUnknown, "out of transfer handles"));
    curl_easy_setopt(e, CURLOPT_PRIVATE, &t);
    curl_easy_setopt(e, CURLOPT_URL, r.url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, r.allowsInsecureHTTP ? "http,https" : "https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, milliseconds(std::min<std::chrono::nanoseconds>(kConnectTimeout, r.totalTimeout)));
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, milliseconds(r.totalTimeout));
    // The idle limit in whole seconds; expireIdle() honours fractions.
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME, std::max(1L, (milliseconds(r.idleTimeout) + 999) / 1000));
    curl_easy_setopt(e, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    if (r.certificateAuthorityFile) curl_easy_setopt(e, CURLOPT_CAINFO, r.certificateAuthorityFile->c_str());
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, t.headerList);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.errorBuffer);
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, &t);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    if (r.method == "GET") {
      curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    } else {
      if (!r.body) r.body.emplace();
      curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body->size()));
      curl_easy_setopt(e, CURLOPT_POSTFIELDS, r.body->empty() ? "" : reinterpret_cast<const char*>(r.body->data()));
      if (r.method != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, r.method.c_str());
    }
    t.lastActivity = SteadyClock::now();
    t.lastDown = t.lastUp = 0;
    if (curl_multi_add_handle(multi_, e) != CURLM_OK)
      return fail(std::move(owned), transportError(KIVOHTTPErrorUnknown, "could not start the transfer"));
    active_.emplace(e, std::move(owned));
  }

  void finish(CURL* easy, CURLcode code) {
    auto found = active_.find(easy);
    if (found == active_.end()) return;
    std::unique_ptr<Transfer> owned = std::move(found->second);
    active_.erase(found);
    curl_multi_remove_handle(multi_, easy);
    Transfer& t = *owned;
    if (t.abortError) return fail(std::move(owned), *t.abortError);
    if (!t.stopped && code != CURLE_OK) {
      std::string text = t.errorBuffer[0] ? t.errorBuffer : curl_easy_strerror(code);
      return fail(std::move(owned), transportError(codeForCurl(code), std::move(text)));
    }
    if (!t.response) return fail(std::move(owned), transportError(KIVOHTTPErrorBadServerResponse, "no answer"));
    if (t.redirectTo) return redirect(std::move(owned));
    TransferResult result;
    result.response = std::move(t.response);
    if (!t.request.file) result.body = std::move(t.body);
    deliver(std::move(owned), std::move(result));
  }

  // Follows one redirect: within the origin as it was sent (a 303, and a 301 or 302 of anything
  // but GET, turn into a GET without body), to another origin as a GET without headers or body.
  void redirect(std::unique_ptr<Transfer> owned) {
    Transfer& t = *owned;
    TransferRequest& r = t.request;
    const long status = t.response->statusCode;
    if (++t.redirects > kMaximumRedirects)
      return fail(std::move(owned), transportError(KIVOHTTPErrorTooManyRedirects, "too many HTTP redirects"));
    const auto target = resolveURL(r.url, *t.redirectTo);
    const auto from = parseURL(r.url);
    const auto to = target ? parseURL(*target) : std::nullopt;
    if (!from || !to) return fail(std::move(owned), transportError(KIVOHTTPErrorBadServerResponse, "bad redirect location"));
    if (from->scheme == "https" && to->scheme != "https") {
      logLine(format("[ERROR] KIVOHTTP refuses insecure URL %@", *target));
      return fail(std::move(owned), transportError(KIVOHTTPErrorInsecureURLRefused, "redirect from https to http refused"));
    }
    const bool sameOrigin = from->origin() == to->origin();
    const bool becomesGet = !sameOrigin || status == 303 || ((status == 301 || status == 302) && r.method != "GET");
    if (!sameOrigin) r.headers.clear();
    if (becomesGet) {
      r.method = "GET";
      r.body.reset();
      std::erase_if(r.headers, [](const auto& header) {
        return equalsIgnoringCase(header.first, "Content-Type") || equalsIgnoringCase(header.first, "Content-Length");
      });
    }
    r.url = *target;
    t.release();
    t.resetAnswer();
    begin(std::move(owned));
  }

  // Ends transfers that moved no byte for longer than their idle limit.
  void expireIdle() {
    const auto now = SteadyClock::now();
    std::vector<CURL*> idle;
    for (const auto& [easy, t] : active_)
      if (now - t->lastActivity > t->request.idleTimeout) idle.push_back(easy);
    for (CURL* easy : idle) {
      Transfer& t = *active_.at(easy);
      t.abortError = transportError(KIVOHTTPErrorTimedOut, "The request timed out.");
      finish(easy, CURLE_OPERATION_TIMEDOUT);
    }
  }

  int nextWaitMs() const {
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kLongestWait);
    long curlMs = -1;
    curl_multi_timeout(multi_, &curlMs);
    if (curlMs >= 0) wait = std::min(wait, std::chrono::milliseconds(curlMs));
    const auto now = SteadyClock::now();
    for (const auto& [easy, t] : active_) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(t->lastActivity + t->request.idleTimeout - now);
      wait = std::min(wait, std::max(left, std::chrono::milliseconds(1)));
    }
    return static_cast<int>(wait.count());
  }

  void fail(std::unique_ptr<Transfer> owned, Error error) {
    TransferResult result;
    result.response = std::move(owned->response);
    result.error = std::move(error);
    deliver(std::move(owned), std::move(result));
  }

  static void deliver(std::unique_ptr<Transfer> owned, TransferResult result) {
    owned->release();
    result.file = std::move(owned->request.file);
    TransferDone done = std::move(owned->done);
    owned.reset();
    if (done) done(std::move(result));
  }

  CURLM* multi_ = nullptr;
  std::mutex mutex_;
  std::deque<std::unique_ptr<Transfer>> incoming_;  // guarded by mutex_
  std::unordered_map<CURL*, std::unique_ptr<Transfer>> active_;  // network thread only
};

}  // namespace

Error transportError(KIVOHTTPErrorCode code, std::string description) {
  return Error{std::string(KIVOHTTPErrorDomain), code, std::move(description)};
}

void startTransfer(TransferRequest request, TransferDone done) {
  auto transfer = std::make_unique<Transfer>();
  transfer->request = std::move(request);
  transfer->done = std::move(done);
  Engine::shared().submit(std::move(transfer));
}

}  // namespace kivo::net
