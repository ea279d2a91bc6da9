// The projector's own exceptions. They are thrown and caught inside resource and file
// operations only; nothing above those operations ever sees them.
#pragma once

#include <string>
#include <utility>

namespace vantor {

// Base exception of the projector: an optional message and nothing else.
class CAppException {
public:
    CAppException() = default;
    explicit CAppException(std::string message) : message_(std::move(message)) {}
    virtual ~CAppException() = default;

    const std::string& Message() const { return message_; }

private:
    std::string message_;
};

// A packed block or zlib stream that could not be unpacked.
class CZipException : public CAppException {
public:
    using CAppException::CAppException;
};

}  // namespace vantor
