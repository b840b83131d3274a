// An exception with a name and a reason, for the programming errors the library raises.
// what() is the reason.
#pragma once

#include <stdexcept>
#include <string>

namespace kivo {

class NamedException : public std::runtime_error {
 public:
  NamedException(std::string name, const std::string& reason) : std::runtime_error(reason), name_(std::move(name)) {}
  const std::string& name() const { return name_; }
  std::string reason() const { return what(); }

 private:
  std::string name_;
};

}  // namespace kivo
