// Sets (or, with nullptr, removes) an environment variable for a scope and puts the old value back.
#pragma once
#include <stdlib.h>

#include <optional>
#include <string>

namespace qv::testing {

class EnvVar {
 public:
  EnvVar(const char* name, const char* value) : name_(name) {
    if (const char* old = ::getenv(name)) old_ = old;
    if (value != nullptr) {
      ::setenv(name, value, 1);
    } else {
      ::unsetenv(name);
    }
  }
  EnvVar(const char* name, const std::string& value) : EnvVar(name, value.c_str()) {}
  ~EnvVar() {
    if (old_) {
      ::setenv(name_, old_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  EnvVar(const EnvVar&) = delete;
  EnvVar& operator=(const EnvVar&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

}  // namespace qv::testing
