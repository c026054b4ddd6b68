#pragma once

// The error of the component readers, of the container-document and layout-document operations and
// of the reference parsers.

#include <filesystem>
#include <string>
#include <system_error>
#include <variant>

#include "metadata_types/metadata_type.hpp"

namespace ambrel::metadata {

class FieldReadError {
public:
    // Message form: a fixed message, caused by an operating-system error that is not shown.
    struct Io {
        std::string message;
        std::error_code cause;
        bool operator==(const Io&) const = default;
    };
    // Path form: the document concerned (possibly empty), why it is not readable, and the kind of
    // document it is ("custom field", "Apex class"; empty while not known).
    struct Invalid {
        std::filesystem::path path;
        std::string reason;
        std::string kind;
        bool operator==(const Invalid&) const = default;
    };

    static FieldReadError io(std::string message, std::error_code cause) {
        return FieldReadError(Io{std::move(message), cause});
    }
    static FieldReadError invalid(std::filesystem::path path, std::string reason) {
        return FieldReadError(Invalid{std::move(path), std::move(reason), {}});
    }

    // The same error naming the kind of document, unless it names one already (the message form
    // stays as it is).
    FieldReadError of_kind(std::string kind) &&;

    const std::variant<Io, Invalid>& form() const noexcept { return form_; }
    // The Invalid form, or null for the message form.
    const Invalid* invalid_form() const noexcept { return std::get_if<Invalid>(&form_); }

    // The message alone for the message form; "Invalid {kind} metadata in {path}: {reason}" for the
    // path form ("Invalid metadata in {path}: {reason}" while the kind is not known), the path with
    // invalid UTF-8 replaced.
    std::string message() const;

    bool operator==(const FieldReadError&) const = default;

private:
    explicit FieldReadError(std::variant<Io, Invalid> form) : form_(std::move(form)) {}

    std::variant<Io, Invalid> form_;
};

// The kind of a type's documents as a path-form error names it: the singular label in lower case,
// except product names and abbreviations ("custom field", "Apex class", "Visualforce page").
std::string document_kind(metadata_types::MetadataType type);

}  // namespace ambrel::metadata
