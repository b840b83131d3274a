// Reading the exact bytes a RawHTTPServer received: request line, headers, body; and the
// multipart body the library must have sent for a list of fields.
#pragma once

#include <cctype>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kivo::test {

struct WireRequest {
  std::string line;                            // "POST /api/query HTTP/1.1"
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  std::string header(const std::string& name) const {
    const auto it = headers.find(name);
    return it == headers.end() ? "" : it->second;
  }
  // The boundary of a multipart request ("" otherwise).
  std::string boundary() const {
    const std::string type = header("content-type");
    const auto at = type.find("boundary=");
    return at == std::string::npos ? "" : type.substr(at + 9);
  }
};

inline WireRequest parseWire(const std::string& raw) {
  WireRequest request;
  const size_t headEnd = raw.find("\r\n\r\n");
  const std::string head = raw.substr(0, headEnd);
  request.body = headEnd == std::string::npos ? "" : raw.substr(headEnd + 4);
  size_t start = 0;
  for (bool first = true; start <= head.size(); first = false) {
    size_t end = head.find("\r\n", start);
    if (end == std::string::npos) end = head.size();
    const std::string line = head.substr(start, end - start);
    if (first) {
      request.line = line;
    } else if (const size_t colon = line.find(':'); colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      for (auto& c : name) c = char(std::tolower(static_cast<unsigned char>(c)));
      size_t value = colon + 1;
      while (value < line.size() && line[value] == ' ') ++value;
      request.headers[name] = line.substr(value);
    }
    start = end + 2;
  }
  return request;
}

// The multipart body for fields and, when afp is given, the "afp" file part.
inline std::string multipartBody(const std::string& boundary,
                                 const std::vector<std::pair<std::string, std::string>>& fields,
                                 const std::string* afp = nullptr) {
  std::string body;
  for (const auto& [name, value] : fields) {
    body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
  }
  if (afp) {
    body += "--" + boundary +
            "\r\nContent-Disposition: form-data; name=\"afp\"; filename=\"c773393c-87d3-4663-b592-269737c847b9.afp\""
            "\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: binary\r\n\r\n" +
            *afp + "\r\n";
  }
  return body + "--" + boundary + "--\r\n";
}

// A complete HTTP/1.1 answer.
inline std::string httpAnswer(int status, const std::string& body, const std::string& reason = "X") {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace kivo::test
