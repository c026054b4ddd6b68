#pragma once

// The error of the component readers, of the container-document and layout-document operations and
// of the reference parsers.

#include <filesystem>
#include <string>
#include <system_error>
#include <variant>

namespace ambrel::metadata {

class FieldReadError {
public:
    // Message form: a fixed message, caused by an operating-system error that is not shown.
    struct Io {
        std::string message;
        std::error_code cause;
        bool operator==(const Io&) const = default;
    };
    // Path form: the document concerned (possibly empty) and why it is not readable.
    struct Invalid {
        std::filesystem::path path;
        std::string reason;
        bool operator==(const Invalid&) const = default;
    };

    static FieldReadError io(std::string message, std::error_code cause) {
        return FieldReadError(Io{std::move(message), cause});
    }
    static FieldReadError invalid(std::filesystem::path path, std::string reason) {
        return FieldReadError(Invalid{std::move(path), std::move(reason)});
    }

    const std::variant<Io, Invalid>& form() const noexcept { return form_; }
    // The Invalid form, or null for the message form.
    const Invalid* invalid_form() const noexcept { return std::get_if<Invalid>(&form_); }

    // The message alone for the message form; "Invalid custom field metadata in {path}: {reason}"
    // for the path form (for every metadata type), the path with invalid UTF-8 replaced.
    std::string message() const;

    bool operator==(const FieldReadError&) const = default;

private:
    explicit FieldReadError(std::variant<Io, Invalid> form) : form_(std::move(form)) {}

    std::variant<Io, Invalid> form_;
};

}  // namespace ambrel::metadata
