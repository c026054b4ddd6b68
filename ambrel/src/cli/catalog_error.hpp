#pragma once

// The error of every catalogue operation (and of the bounded runner): a wrapped CLI failure, a
// finished sentence, or a failed prerequisite.

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "cli/cli_error.hpp"

namespace ambrel::cli {

class CatalogError {
public:
    // The gateway's failure, shown exactly as the CliError shows it.
    struct Cli {
        CliError error;
        friend bool operator==(const Cli&, const Cli&) = default;
    };
    // One finished sentence.
    struct Message {
        std::string message;
        friend bool operator==(const Message&, const Message&) = default;
    };
    // The CLI is missing or unusable (only the prerequisite checker makes it); the optional cause is
    // the CLI failure behind it.
    struct Prerequisite {
        std::string message;
        std::optional<CliError> cause;
        friend bool operator==(const Prerequisite&, const Prerequisite&) = default;
    };
    using Variant = std::variant<Cli, Message, Prerequisite>;

    CatalogError(Cli value) : variant_(std::move(value)) {}
    CatalogError(Message value) : variant_(std::move(value)) {}
    CatalogError(Prerequisite value) : variant_(std::move(value)) {}
    CatalogError(CliError error) : variant_(Cli{std::move(error)}) {}

    static CatalogError prerequisite(std::string text, std::optional<CliError> cause = std::nullopt) {
        return Prerequisite{std::move(text), std::move(cause)};
    }

    // True for a wrapped cancelled CliError (the one form callers turn into a cancelled failure).
    bool is_cancelled() const noexcept;
    const Variant& variant() const noexcept { return variant_; }
    template <class T>
    const T* get_if() const noexcept {
        return std::get_if<T>(&variant_);
    }

    // The display text.
    std::string message() const;

    friend bool operator==(const CatalogError&, const CatalogError&) = default;

private:
    Variant variant_;
};

}  // namespace ambrel::cli
