// The root of the system's own errors: a std::exception that carries one message text.
//
// Callers catch by reference in the order USBUtils::Error, BVExBase, anything else; the
// top-level handlers rely on that order to tell a communication failure from an internal one.
#pragma once

#include <exception>
#include <string>

class BVExBase : public std::exception {
  public:
    BVExBase() = default;
    BVExBase(const BVExBase& other) = default;
    ~BVExBase() override = default;

    // The message as a NUL-terminated text; "" (never null) when there is none.
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const { return message_; }

  protected:
    void setMessage(const std::string& message) { message_ = message; }

  private:
    std::string message_;
};

// A BVExBase with a given text, for errors of the system's own kinds that have no class of
// their own (a refused image record, a thread that cannot be started).
class BVError : public BVExBase {
  public:
    explicit BVError(const std::string& message) { setMessage(message); }
};
