// The outcome of a step of our host library, its change event store and its
// arrays: ok, or a code saying what kind of failure it was and a message
// saying what failed, for the operator. Returned, never thrown. Only the
// faces the agent sees turn a failed Status into the CRyError or the
// ArrayStatus it reads. An ok Status is a null pointer, so the steps made
// for every change pay a few instructions for it; a failed one owns its
// message, and copies copy it.
#pragma once

#include <memory>
#include <string>

namespace hostlib {

class Status {
public:
    // kAborted: the operator asked a long step to stop. kIncomplete: what the
    // step reads lacks parts it needs (a snapshot that left items out).
    enum Code {
        kOk,
        kNotFound,
        kCorruption,
        kNotSupported,
        kInvalidArgument,
        kIOError,
        kAborted,
        kIncomplete
    };

    Status() = default;
    Status(const Status& other) : m_rep(other.m_rep ? new Rep(*other.m_rep) : nullptr) {}
    Status(Status&&) noexcept = default;
    Status& operator=(const Status& other) {
        if (this != &other) m_rep.reset(other.m_rep ? new Rep(*other.m_rep) : nullptr);
        return *this;
    }
    Status& operator=(Status&&) noexcept = default;

    static Status OK() { return Status(); }
    static Status NotFound(std::string message) { return Status(kNotFound, std::move(message)); }
    static Status Corruption(std::string message) {
        return Status(kCorruption, std::move(message));
    }
    static Status NotSupported(std::string message) {
        return Status(kNotSupported, std::move(message));
    }
    static Status InvalidArgument(std::string message) {
        return Status(kInvalidArgument, std::move(message));
    }
    static Status IOError(std::string message) { return Status(kIOError, std::move(message)); }
    static Status Aborted(std::string message) { return Status(kAborted, std::move(message)); }
    static Status Incomplete(std::string message) {
        return Status(kIncomplete, std::move(message));
    }
    // The same kind of failure with another message (context added to it).
    Status WithMessage(std::string message) const {
        return ok() ? Status() : Status(code(), std::move(message));
    }

    bool ok() const { return !m_rep; }
    Code code() const { return m_rep ? m_rep->code : kOk; }
    bool IsNotFound() const { return code() == kNotFound; }
    bool IsCorruption() const { return code() == kCorruption; }
    // What failed; empty when ok.
    const std::string& message() const;

private:
    struct Rep {
        Code code;
        std::string message;
    };
    Status(Code code, std::string message) : m_rep(new Rep{code, std::move(message)}) {}
    std::unique_ptr<Rep> m_rep;
};

}  // namespace hostlib
