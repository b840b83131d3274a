#include "server/form_parser.h"

#include <algorithm>
#include <cctype>
#include <functional>

namespace kivo::console {
namespace {

FormResult refuse(std::string reason) { return {std::nullopt, std::move(reason)}; }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The value of parameter key in "form-data; name=\"a\"; filename=\"b\"". Quoted values run to the
// next quote (the client writes them unescaped); bare values to the next ';'.
std::optional<std::string> parameter(std::string_view header, std::string_view key) {
  size_t i = header.find(';');
  while (i != std::string_view::npos) {
    const size_t eq = header.find('=', i + 1);
    if (eq == std::string_view::npos) return std::nullopt;
    const std::string_view name = trim(header.substr(i + 1, eq - i - 1));
    size_t v = eq + 1;
    while (v < header.size() && (header[v] == ' ' || header[v] == '\t')) ++v;
    std::string_view value;
    if (v < header.size() && header[v] == '"') {
      const size_t close = header.find('"', v + 1);
      if (close == std::string_view::npos) return std::nullopt;
      value = header.substr(v + 1, close - v - 1);
      i = header.find(';', close);
    } else {
      i = header.find(';', v);
      value = trim(header.substr(v, i == std::string_view::npos ? std::string_view::npos : i - v));
    }
    if (equalsIgnoringCase(name, key)) return std::string(value);
  }
  return std::nullopt;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> percentDecode(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') {
      out += ' ';
    } else if (s[i] == '%') {
      if (i + 2 >= s.size()) return std::nullopt;
      const int hi = hexValue(s[i + 1]), lo = hexValue(s[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      out += static_cast<char>(hi * 16 + lo);
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

}  // namespace

const FormPart* Form::find(std::string_view name) const {
  for (const auto& p : parts_) {
    if (p.name == name) return &p;
  }
  return nullptr;
}

std::optional<std::string> Form::field(std::string_view name) const {
  const FormPart* p = find(name);
  if (!p) return std::nullopt;
  return p->value;
}

std::optional<std::string> multipartBoundary(std::string_view contentType) {
  const size_t semi = contentType.find(';');
  if (!equalsIgnoringCase(trim(contentType.substr(0, semi)), "multipart/form-data")) return std::nullopt;
  auto boundary = parameter(contentType, "boundary");
  if (!boundary || boundary->empty() || boundary->size() > 70) return std::nullopt;
  return boundary;
}

FormResult parseMultipart(std::string_view body, std::string_view boundary, const FormLimits& limits) {
  if (boundary.empty() || boundary.size() > 70) return refuse("multipart boundary must have 1 to 70 characters");
  const std::string delimiter = "\r\n--" + std::string(boundary);
  const std::boyer_moore_horspool_searcher search(delimiter.begin(), delimiter.end());
  auto findDelimiter = [&](size_t from) -> size_t {
    auto it = std::search(body.begin() + static_cast<std::ptrdiff_t>(from), body.end(), search);
    return it == body.end() ? std::string_view::npos : static_cast<size_t>(it - body.begin());
  };

  // The first delimiter may open the body without the line break before it.
  size_t pos;
  if (body.substr(0, delimiter.size() - 2) == std::string_view(delimiter).substr(2)) {
    pos = delimiter.size() - 2;
  } else {
    const size_t first = findDelimiter(0);
    if (first == std::string_view::npos) return refuse("multipart body has no boundary line");
    pos = first + delimiter.size();
  }

  Form form;
  for (;;) {
    // After a delimiter: "--" closes the body, a line break opens a part.
    if (body.substr(pos, 2) == "--") return {std::move(form), ""};
    if (body.substr(pos, 2) != "\r\n") return refuse("multipart boundary line is not followed by a line break");
    pos += 2;
    if (form.parts_.size() == limits.maxParts) return refuse("multipart body has too many parts");

    const size_t headerEnd = body.find("\r\n\r\n", pos);
    if (headerEnd == std::string_view::npos) return refuse("multipart part headers do not end");
    if (headerEnd - pos > limits.maxHeaderBytes) return refuse("multipart part headers are too long");
    FormPart part;
    bool named = false;
    std::string_view headers = body.substr(pos, headerEnd - pos);
    while (!headers.empty()) {
      const size_t eol = headers.find("\r\n");
      const std::string_view line = headers.substr(0, eol);
      headers = eol == std::string_view::npos ? std::string_view() : headers.substr(eol + 2);
      const size_t colon = line.find(':');
      if (colon == std::string_view::npos) return refuse("multipart part header has no colon");
      const std::string_view key = trim(line.substr(0, colon));
      const std::string_view value = trim(line.substr(colon + 1));
      if (equalsIgnoringCase(key, "Content-Disposition")) {
        const size_t semi = value.find(';');
        if (!equalsIgnoringCase(trim(value.substr(0, semi)), "form-data")) {
          return refuse("multipart part is not form-data");
        }
        auto name = parameter(value, "name");
        if (!name || name->empty()) return refuse("multipart part has no name");
        part.name = std::move(*name);
        part.filename = parameter(value, "filename");
        named = true;
      } else if (equalsIgnoringCase(key, "Content-Type")) {
        part.contentType = std::string(value);
      }
    }
    if (!named) return refuse("multipart part has no Content-Disposition");

    const size_t start = headerEnd + 4;
    const size_t end = findDelimiter(start);
    if (end == std::string_view::npos) return refuse("multipart body ends before its closing boundary");
    const size_t size = end - start;
    if (size > (part.filename ? limits.maxFileBytes : limits.maxFieldBytes)) {
      return refuse("multipart part \"" + part.name + "\" is too large");
    }
    part.value = std::string(body.substr(start, size));
    form.parts_.push_back(std::move(part));
    pos = end + delimiter.size();
  }
}

FormResult parseUrlEncoded(std::string_view text, const FormLimits& limits) {
  Form form;
  while (!text.empty()) {
    const size_t amp = text.find('&');
    const std::string_view pair = text.substr(0, amp);
    text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
    if (pair.empty()) continue;
    if (form.parts_.size() == limits.maxParts) return refuse("form has too many fields");
    const size_t eq = pair.find('=');
    auto name = percentDecode(pair.substr(0, eq));
    auto value = percentDecode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1));
    if (!name || !value) return refuse("form field has a broken percent escape");
    if (name->empty()) return refuse("form field has no name");
    if (value->size() > limits.maxFieldBytes) return refuse("form field \"" + *name + "\" is too large");
    FormPart part;
    part.name = std::move(*name);
    part.value = std::move(*value);
    form.parts_.push_back(std::move(part));
  }
  return {std::move(form), ""};
}

FormResult parseForm(std::string_view contentType, std::string_view body, const FormLimits& limits) {
  const std::string_view type = trim(contentType.substr(0, contentType.find(';')));
  if (equalsIgnoringCase(type, "multipart/form-data")) {
    auto boundary = multipartBoundary(contentType);
    if (!boundary) return refuse("multipart content type has no usable boundary");
    return parseMultipart(body, *boundary, limits);
  }
  if (equalsIgnoringCase(type, "application/x-www-form-urlencoded")) return parseUrlEncoded(body, limits);
  if (body.empty()) return {Form{}, ""};
  return refuse("body must be multipart/form-data or application/x-www-form-urlencoded");
}

}  // namespace kivo::console
