#include <algorithm>
#include <memory>
#include <mutex>

#include "kivo/format.h"
#include "kivo/http.h"
#include "kivo/log.h"
#include "network/http_log.h"
#include "network/http_session.h"
#include "network/http_url.h"
#include "platform/file_system.h"

namespace kivo {
namespace {

struct Defaults {
  std::mutex mutex;
  std::optional<std::filesystem::path> certificateAuthorityFile;  // guarded by mutex
  bool allowsInsecureHTTP = false;                                // guarded by mutex
};

Defaults& defaults() {
  static auto* instance = new Defaults;  // lives for the process
  return *instance;
}

std::chrono::nanoseconds seconds(double value) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(std::max(value, 0.001)));
}

// Sets name to value, replacing a header of the same name (any case) where it stands.
void setHeader(HTTPHeaders& headers, const std::string& name, const std::string& value) {
  for (auto& header : headers) {
    if (net::equalsIgnoringCase(header.first, name)) {
      header.second = value;
      return;
    }
  }
  headers.emplace_back(name, value);
}

void logBody(const Bytes& body, const std::optional<std::string>& text) {
  if (body.empty()) return;
  if (text)
    logLine(format("KIVOHTTP request body: %@", *text));
  else
    logLine(format("KIVOHTTP request body is %lu bytes binary data", body.size()));
}

// Hands a data request's outcome to handler on the main queue.
net::TransferDone deliverOnMain(DataCompletion handler, bool logResponse) {
  return [handler = std::move(handler), logResponse](net::TransferResult result) {
    if (logResponse) {
      const long status = result.response ? result.response->statusCode : 0;
      std::optional<std::string> text = result.body ? net::bodyTextForLog(*result.body) : std::nullopt;
      logLine(format("KIVOHTTP Response Status %d:\n%@", status, text));
    }
    if (!handler) return;
    dispatch::Queue::main().async(
        [handler, body = std::move(result.body), response = std::move(result.response), error = std::move(result.error)] {
          handler(body, response, error);
        });
  };
}

}  // namespace

std::optional<std::string> HTTPResponse::valueForHTTPHeaderField(std::string_view name) const {
  for (const auto& [key, value] : headerFields)
    if (net::equalsIgnoringCase(key, name)) return value;
  return std::nullopt;
}

KIVOHTTP::KIVOHTTP(HTTPHeaders commonHeaders) : sessionQueue_(dispatch::Queue::serial("com.tarnvale.kivo.http")) {
  for (auto& [name, value] : commonHeaders) setHeader(commonHeaders_, name, value);
  std::lock_guard lock(defaults().mutex);
  certificateAuthorityFile = defaults().certificateAuthorityFile;
  allowsInsecureHTTP = defaults().allowsInsecureHTTP;
}

KIVOHTTP::~KIVOHTTP() = default;

void KIVOHTTP::setDefaultCertificateAuthorityFile(std::optional<std::filesystem::path> file) {
  std::lock_guard lock(defaults().mutex);
  defaults().certificateAuthorityFile = std::move(file);
}

void KIVOHTTP::setDefaultAllowsInsecureHTTP(bool allow) {
  std::lock_guard lock(defaults().mutex);
  defaults().allowsInsecureHTTP = allow;
}

namespace {

// A request with the client's timeouts, limits and trust settings, without headers.
net::TransferRequest makeRequest(const KIVOHTTP& http, const std::string& method, const std::string& url) {
  net::TransferRequest request;
  request.method = method;
  request.url = url;
  request.idleTimeout = seconds(http.requestTimeout);
  request.totalTimeout = seconds(std::max(http.resourceTimeout, http.requestTimeout));
  request.maximumBodySize = http.maximumBodySize;
  request.certificateAuthorityFile = http.certificateAuthorityFile;
  request.allowsInsecureHTTP = http.allowsInsecureHTTP;
  return request;
}

// The JSON POST, logged when verboseRequest is on.
net::TransferRequest makeJSONRequest(const KIVOHTTP& http, const std::string& url, const Bytes& JSONData,
                                     bool synchronous) {
  net::TransferRequest request = makeRequest(http, "POST", url);
  request.body = JSONData;
  request.headers = http.commonHeaders();
  setHeader(request.headers, "Content-Type", "application/json");
  setHeader(request.headers, "Accept", "application/json");
  if (http.verboseRequest) {
    logLine(synchronous ? "KIVOHTTP start request: POST with JSON (synchronous)" : "KIVOHTTP start request: POST with JSON");
    logLine(format("URL: %@", url));
    logLine(format("HTTP Headers: %@", net::headersForLog(request.headers)));
    logBody(JSONData, net::bodyTextForLog(JSONData));
  }
  return request;
}

}  // namespace

void KIVOHTTP::getWithURL(const std::string& url, DataCompletion completionHandler) {
  net::TransferRequest request = makeRequest(*this, "GET", url);
  request.headers = commonHeaders_;
  if (verboseRequest) logLine(format("KIVOHTTP will start reqeust: %@", net::describeRequest(url)));
  net::startTransfer(std::move(request), deliverOnMain(std::move(completionHandler), false));
  setNetworkActivityIndicatorVisible(true);
}

void KIVOHTTP::postWithURL(const std::string& url, const FormParameters& parameters, DataCompletion completionHandler) {
  postWithURL(url, parameters, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::move(completionHandler));
}

void KIVOHTTP::postWithURL(const std::string& url, const FormParameters& parameters,
                           const std::optional<std::string>& uploadKey, const std::optional<std::string>& uploadFileName,
                           const std::optional<std::string>& uploadContentType, const std::optional<Bytes>& uploadData,
                           DataCompletion completionHandler) {
  startRequestWithHTTPMethod("POST", url, parameters, uploadKey, uploadFileName, uploadContentType, uploadData,
                             std::move(completionHandler));
}

void KIVOHTTP::deleteWithURL(const std::string& url, const FormParameters& parameters,
                             const std::optional<std::string>& uploadKey,
                             const std::optional<std::string>& uploadFileName,
                             const std::optional<std::string>& uploadContentType,
                             const std::optional<Bytes>& uploadData, DataCompletion completionHandler) {
  startRequestWithHTTPMethod("DELETE", url, parameters, uploadKey, uploadFileName, uploadContentType, uploadData,
                             std::move(completionHandler));
}

void KIVOHTTP::startRequestWithHTTPMethod(const std::string& method, const std::string& url,
                                          const FormParameters& parameters, const std::optional<std::string>& uploadKey,
                                          const std::optional<std::string>& uploadFileName,
                                          const std::optional<std::string>& uploadContentType,
                                          const std::optional<Bytes>& uploadData, DataCompletion completionHandler) {
  const std::string boundary = makeBoundary();
  net::TransferRequest request = makeRequest(*this, method, url);
  request.body = bodyDataWithBoundary(boundary, parameters, uploadKey, uploadFileName, uploadContentType, uploadData);
  request.headers = commonHeaders_;
  setHeader(request.headers, "Content-Type", stringOfMultipartFormDataWithBoundary(boundary));
  setHeader(request.headers, "Content-Length", format("%lu", request.body->size()));
  if (verboseRequest) {
    logLine(format("KIVOHTTP start %@ request: %@", method, net::describeRequest(url)));
    logLine(format("HTTP Headers: %@", net::headersForLog(request.headers)));
    const Bytes shown = bodyDataWithBoundary(boundary, net::redactedParameters(parameters), uploadKey, uploadFileName,
                                             uploadContentType, uploadData);
    logBody(*request.body, net::bodyTextForLog(shown));
  }
  net::startTransfer(std::move(request), deliverOnMain(std::move(completionHandler), verboseResponse));
  setNetworkActivityIndicatorVisible(true);
}

void KIVOHTTP::postWithURLJSONData(const std::string& url, const Bytes& JSONData, DataCompletion completionHandler) {
  net::startTransfer(makeJSONRequest(*this, url, JSONData, false), deliverOnMain(std::move(completionHandler), false));
  setNetworkActivityIndicatorVisible(true);
}

std::optional<Bytes> KIVOHTTP::syncPostWithURLJSONData(const std::string& url, const Bytes& JSONData) {
  struct Outcome {
    dispatch::Semaphore done;
    std::optional<Bytes> body;  // written before done is signalled
  };
  auto outcome = std::make_shared<Outcome>();
  net::startTransfer(makeJSONRequest(*this, url, JSONData, true), [outcome](net::TransferResult result) {
    const long status = result.response ? result.response->statusCode : -1;
    if (result.error)
      logLine(format("KIVOHTTP request failed with status %ld: %@", status, result.error->description()));
    else if (status >= 200 && status < 300)
      outcome->body = std::move(result.body);
    else
      logLine(format("KIVOHTTP request succeed but got status %ld", status));
    outcome->done.signal();
  });
  setNetworkActivityIndicatorVisible(true);
  outcome->done.wait();
  return std::move(outcome->body);
}

void KIVOHTTP::downloadWithURL(const std::string& url, const std::filesystem::path& destination,
                               DownloadCompletion completionHandler) {
  auto fail = [url, handler = completionHandler](const std::string& description) {
    if (handler) handler(std::nullopt, std::nullopt, KIVOError::errorWithErrorCode(KIVOErrorCodeAudioPackDownloadFailed, description));
  };
  if (verboseRequest) logLine(format("KIVOHTTP will start reqeust: %@", net::describeRequest(url)));
  const std::filesystem::path temporary = destination.parent_path() / ("." + destination.filename().string() + ".XXXXXX");
  auto created = DiskFileSystem().createFile(destination);
  if (auto* error = std::get_if<std::string>(&created)) {
    sessionQueue_.async([fail, url, destination, temporary, message = *error] {
      logLine(format("ERROR: Failed to move from %@ to %@", temporary, destination));
      logLine(format("Download failed from %@", url));
      fail(format("Failed to rename downloaded file: %@", message));
    });
    return;
  }
  net::TransferRequest request = makeRequest(*this, "GET", url);  // without the common headers
  request.maximumBodySize = maximumDownloadSize;
  request.file = std::move(std::get<std::unique_ptr<PendingFile>>(created));
  net::startTransfer(std::move(request), [queue = sessionQueue_, fail, url, destination, temporary,
                                          handler = std::move(completionHandler)](net::TransferResult result) {
    auto shared = std::make_shared<net::TransferResult>(std::move(result));
    queue.async([shared, fail, url, destination, temporary, handler] {
      net::TransferResult& r = *shared;
      // A failed download's temporary file is gone before the caller hears of the failure.
      auto discard = [&](const std::string& description) {
        r.file.reset();
        fail(description);
      };
      if (r.error) {
        logLine(format("Download URL %@ Failed: %@", url, r.error->description()));
        return discard(format("NSURLSessionDownloadTask responses error: %@", r.error->description()));
      }
      if (r.response->statusCode != 200) {
        logLine(format("Download Status is Bad: %d", r.response->statusCode));
        return discard(format("Server returns status code %ld", r.response->statusCode));
      }
      if (auto error = r.file->commit()) {
        logLine(format("ERROR: Failed to move from %@ to %@", temporary, destination));
        logLine(format("Download failed from %@", url));
        return discard(format("Failed to rename downloaded file: %@", *error));
      }
      if (handler)
        dispatch::Queue::main().async([handler, destination, response = std::move(r.response)] {
          handler(destination, response, std::nullopt);
        });
    });
  });
  setNetworkActivityIndicatorVisible(true);
}

void KIVOHTTP::setNetworkActivityIndicatorVisible(bool) {
  // No platform indicator exists here; showNetworkActivityIndicator changes nothing either.
}

}  // namespace kivo
