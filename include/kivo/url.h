// A URL named by campaign content: the text it was made from, kept exactly as given (the library
// neither validates nor encodes it). A value type.
#pragma once

#include <string>

namespace kivo {

class URL {
 public:
  explicit URL(std::string absoluteString) : absoluteString_(std::move(absoluteString)) {}

  const std::string& absoluteString() const { return absoluteString_; }
  // The absolute string, so that a URL prints as its text in formatted lines.
  const std::string& description() const { return absoluteString_; }

  friend bool operator==(const URL&, const URL&) = default;

 private:
  std::string absoluteString_;
};

}  // namespace kivo
