// The outcome of a core operation that can fail: a kind and one complete
// message text. The binding turns it into a Python exception in one place.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace tarnwick {

class [[nodiscard]] Status {
 public:
  enum class Kind : uint8_t {
    Ok,
    IOError,          // a file could not be created, written, opened or read
    Corruption,       // content that does not decode
    InvalidArgument,  // a value the store cannot hold
    NoMemory,         // an allocation failed
    Internal,         // an assumption of the code broke
    Warning,          // the operation took effect; the text says what the caller must know
  };

  Status() = default;
  static Status Ok() { return Status(); }
  static Status IOError(std::string text) { return Status(Kind::IOError, std::move(text)); }
  static Status Corruption(std::string text) { return Status(Kind::Corruption, std::move(text)); }
  static Status InvalidArgument(std::string text) {
    return Status(Kind::InvalidArgument, std::move(text));
  }
  static Status NoMemory() { return Status(Kind::NoMemory, std::string()); }
  static Status Internal(std::string text) { return Status(Kind::Internal, std::move(text)); }
  static Status Warning(std::string text) { return Status(Kind::Warning, std::move(text)); }

  // True only for a clean success; a warning is not ok, though its operation took effect.
  bool ok() const { return kind_ == Kind::Ok; }
  Kind kind() const { return kind_; }
  const std::string& text() const { return text_; }

  // The same kind with `prefix` before the text (the stage that failed before
  // its cause); a clean success stays as it is.
  Status prefixed(std::string_view prefix) const {
    if (ok()) return *this;
    return Status(kind_, std::string(prefix).append(text_));
  }

 private:
  Status(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}
  Kind kind_ = Kind::Ok;
  std::string text_;
};

}  // namespace tarnwick
