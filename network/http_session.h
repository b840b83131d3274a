// The transfer engine under every KIVOHTTP: one libcurl multi handle driven by one network thread
// for the process. Requests own all they need; results come back on the network thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "kivo/bytes.h"
#include "kivo/error.h"
#include "kivo/http.h"
#include "platform/file_system.h"

namespace kivo::net {

struct TransferRequest {
  std::string method = "GET";  // "GET", "POST" or "DELETE"
  std::string url;
  HTTPHeaders headers;          // sent in this order, after the engine's removals
  std::optional<Bytes> body;    // POST and DELETE
  std::chrono::nanoseconds idleTimeout{std::chrono::seconds(10)};
  std::chrono::nanoseconds totalTimeout{std::chrono::seconds(30)};
  size_t maximumBodySize = KIVOHTTP::kDefaultMaximumBodySize;
  std::optional<std::filesystem::path> certificateAuthorityFile;
  bool allowsInsecureHTTP = false;
  // Set for downloads: the body goes here instead of memory, and any final status but 200 ends
  // the transfer as soon as its headers are in.
  std::unique_ptr<PendingFile> file;
};

struct TransferResult {
  std::optional<Bytes> body;              // a memory transfer without error
  std::optional<HTTPResponse> response;   // once a final status line and its headers arrived
  std::optional<Error> error;             // transport error, domain KIVOHTTPErrorDomain
  std::unique_ptr<PendingFile> file;      // a download's file, still uncommitted
};

// Called once on the network thread. Must not block.
using TransferDone = std::function<void(TransferResult)>;

// Starts request; done runs when it ends (also for a request refused before sending). Any thread.
void startTransfer(TransferRequest request, TransferDone done);

// The transport error value for code and text.
Error transportError(KIVOHTTPErrorCode code, std::string description);

}  // namespace kivo::net
