// KIVOHTTP: the library's one HTTP transport. GET, multipart POST and DELETE, JSON POST (also
// blocking) and download to a file, over libcurl on one network thread shared by every client.
//
// Threads: requests may be started from any thread, concurrently, on one instance; set the
// properties right after construction, before the first request. Data completions and a
// successful download's completion run on the main queue; a failed download's completion runs on
// the client's session queue ("com.tarnvale.kivo.http"), so callers that touch main-queue state hop
// there themselves. A request owns copies of everything it needs: it runs to its completion after
// the client that started it is gone.
//
// Safety: only https is spoken unless the client allows plain http; TLS 1.2 or later with peer and
// host verification always on. Redirects are followed by the client itself: within one origin with
// every header and the body, to another https origin as a bare GET without headers or body, never
// from https to http. Headers holding control characters are never sent. Bodies held in memory and
// downloads are capped. Verbose log lines write credentials as "<redacted>".
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "kivo/bytes.h"
#include "kivo/dispatch.h"
#include "kivo/error.h"
#include "kivo/export.h"

namespace kivo {

// Header name and value pairs in order; names compare without regard to case.
using HTTPHeaders = std::vector<std::pair<std::string, std::string>>;
// Form fields in order. A string value is sent as it is, a number as its decimal text, a boolean
// as 1 or 0, null as "<null>", anything else as its compact JSON text.
using FormParameters = std::vector<std::pair<std::string, nlohmann::json>>;

// Domain and codes of transport errors handed to completions.
inline constexpr std::string_view KIVOHTTPErrorDomain = "kivo.http";
enum KIVOHTTPErrorCode : int64_t {
  KIVOHTTPErrorUnknown = -1,
  KIVOHTTPErrorBadURL = -1000,
  KIVOHTTPErrorTimedOut = -1001,
  KIVOHTTPErrorUnsupportedURL = -1002,
  KIVOHTTPErrorCannotFindHost = -1003,
  KIVOHTTPErrorCannotConnectToHost = -1004,
  KIVOHTTPErrorNetworkConnectionLost = -1005,
  KIVOHTTPErrorTooManyRedirects = -1007,
  KIVOHTTPErrorBadServerResponse = -1011,
  KIVOHTTPErrorInsecureURLRefused = -1022,
  KIVOHTTPErrorDataLengthExceedsMaximum = -1103,
  KIVOHTTPErrorSecureConnectionFailed = -1200,
  KIVOHTTPErrorServerCertificateUntrusted = -1202,
  KIVOHTTPErrorInvalidHeader = -1205,
  KIVOHTTPErrorCannotWriteToFile = -3003,
};

// The answer's status line and headers.
struct KIVO_API HTTPResponse {
  long statusCode = 0;
  std::string url;  // the URL that answered (after redirects)
  HTTPHeaders headerFields;

  // The first header of that name (any case), or nothing.
  std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const;
};

using DataCompletion =
    std::function<void(std::optional<Bytes> body, std::optional<HTTPResponse> response, std::optional<Error> error)>;
using DownloadCompletion = std::function<void(std::optional<std::filesystem::path> location,
                                              std::optional<HTTPResponse> response, std::optional<Error> error)>;

class KIVO_API KIVOHTTP {
 public:
  static constexpr size_t kDefaultMaximumBodySize = size_t{16} << 20;      // 16 MiB
  static constexpr size_t kDefaultMaximumDownloadSize = size_t{1} << 30;   // 1 GiB

  explicit KIVOHTTP(HTTPHeaders commonHeaders = {});
  ~KIVOHTTP();
  KIVOHTTP(const KIVOHTTP&) = delete;
  KIVOHTTP& operator=(const KIVOHTTP&) = delete;

  const HTTPHeaders& commonHeaders() const { return commonHeaders_; }

  bool verboseRequest = false;   // log each request before it starts
  bool verboseResponse = false;  // log status and body of each multipart answer
  // Seconds without a byte moving before a request fails with a timeout (fractions honoured).
  double requestTimeout = 10.0;
  // Seconds a whole transfer may take; the limit applied is the larger of this and requestTimeout.
  double resourceTimeout = 30.0;
  bool showNetworkActivityIndicator = true;
  // Bodies held in memory and downloaded files beyond these sizes fail as transport errors.
  size_t maximumBodySize = kDefaultMaximumBodySize;
  size_t maximumDownloadSize = kDefaultMaximumDownloadSize;
  // Certificates trusted for https instead of the system's (tests). Taken from the process-wide
  // default at construction.
  std::optional<std::filesystem::path> certificateAuthorityFile;
  // Plain http is refused ("[ERROR] KIVOHTTP refuses insecure URL %@") unless this is on; then each
  // such request logs a "[WARN]" line. Taken from the process-wide default at construction.
  bool allowsInsecureHTTP = false;

  // Process-wide defaults for clients built later (the host's choice; tests). Thread-safe.
  static void setDefaultCertificateAuthorityFile(std::optional<std::filesystem::path> file);
  static void setDefaultAllowsInsecureHTTP(bool allow);

  void getWithURL(const std::string& url, DataCompletion completionHandler = {});
  void postWithURL(const std::string& url, const FormParameters& parameters, DataCompletion completionHandler = {});
  void postWithURL(const std::string& url, const FormParameters& parameters, const std::optional<std::string>& uploadKey,
                   const std::optional<std::string>& uploadFileName, const std::optional<std::string>& uploadContentType,
                   const std::optional<Bytes>& uploadData, DataCompletion completionHandler = {});
  void deleteWithURL(const std::string& url, const FormParameters& parameters,
                     const std::optional<std::string>& uploadKey, const std::optional<std::string>& uploadFileName,
                     const std::optional<std::string>& uploadContentType, const std::optional<Bytes>& uploadData,
                     DataCompletion completionHandler = {});
  // The multipart engine behind the two above; method is "POST" or "DELETE".
  void startRequestWithHTTPMethod(const std::string& method, const std::string& url, const FormParameters& parameters,
                                  const std::optional<std::string>& uploadKey,
                                  const std::optional<std::string>& uploadFileName,
                                  const std::optional<std::string>& uploadContentType,
                                  const std::optional<Bytes>& uploadData, DataCompletion completionHandler = {});
  void postWithURLJSONData(const std::string& url, const Bytes& JSONData, DataCompletion completionHandler = {});
  // Blocks the calling thread until the request ends: the body for a 2xx answer, nothing otherwise.
  // Never call it from the client's session queue's own completions of this client's downloads.
  std::optional<Bytes> syncPostWithURLJSONData(const std::string& url, const Bytes& JSONData);
  // GET without the common headers into a temporary file beside destination, made durable and
  // renamed over it on a 200 answer. Failures arrive as KIVOError code 504 (see the header note).
  void downloadWithURL(const std::string& url, const std::filesystem::path& destination,
                       DownloadCompletion completionHandler = {});

  // "multipart/form-data; charset=utf-8; boundary=<boundary>".
  static std::string stringOfMultipartFormDataWithBoundary(const std::string& boundary);
  // The multipart body; the file part only when all four of its pieces are present.
  static Bytes bodyDataWithBoundary(const std::string& boundary, const FormParameters& parameters,
                                    const std::optional<std::string>& uploadKey,
                                    const std::optional<std::string>& uploadFileName,
                                    const std::optional<std::string>& uploadContentType,
                                    const std::optional<Bytes>& uploadData);
  // "----KIVO-Boundary-" and a fresh random upper-case UUID.
  static std::string makeBoundary();

  // There is no activity indicator off the mobile platform: does nothing.
  void setNetworkActivityIndicatorVisible(bool visible);

 private:
  HTTPHeaders commonHeaders_;
  dispatch::Queue sessionQueue_;  // runs download completions, then hands successes to main
};

}  // namespace kivo
