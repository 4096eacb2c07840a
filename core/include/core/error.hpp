// The shape of every format library's error: a kind, and either the I/O
// error of an I/O failure or the text its message shows.
#pragma once

#include <string>
#include <utility>
#include <variant>

#include "core/io.hpp"

namespace core {

template <class Kind>
class Error {
public:
    Kind kind() const { return kind_; }
    // The I/O error of an I/O failure, else nullptr.
    const IoError* io_error() const { return std::get_if<IoError>(&payload_); }
    // The text, "" for an I/O failure.
    const std::string& text() const {
        static const std::string none;
        const auto* t = std::get_if<std::string>(&payload_);
        return t ? *t : none;
    }

    friend bool operator==(const Error&, const Error&) = default;

protected:
    Error(Kind kind, IoError io) : kind_(kind), payload_(std::move(io)) {}
    Error(Kind kind, std::string text) : kind_(kind), payload_(std::move(text)) {}

private:
    Kind kind_;
    std::variant<std::string, IoError> payload_;
};

}  // namespace core
