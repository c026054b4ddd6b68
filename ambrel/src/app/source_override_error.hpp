#pragma once

// The refusal of an edit of a row's source document, and of applying the edits to rows. A plain
// value whose message() gives the sentence shown to the user:
//   NotInComparison "The requested component is not part of the active comparison."
//   NotOwnDocument  "Only a metadata document that belongs entirely to this row can be edited."
//   NotDeployable   "This row is not deployable, so its document cannot be edited."
//   TooLong         "The edited document is longer than {} characters." (the limit, no grouping)
//   HoldsNul        "The edited document holds a NUL character (U+0000), which no metadata document may hold."
//   UnsafePath      "The component name does not render a safe file path."
//   NoContent       "The edited component {} carries no content to replace." (the name)
//   SessionClosed   "The comparison session has been closed; the workspace has been removed."
//   Io              the message itself

#include <cstddef>
#include <string>
#include <utility>
#include <variant>

namespace ambrel::app {

class SourceOverrideError {
public:
    struct NotInComparison {
        bool operator==(const NotInComparison&) const = default;
    };
    struct NotOwnDocument {
        bool operator==(const NotOwnDocument&) const = default;
    };
    struct NotDeployable {
        bool operator==(const NotDeployable&) const = default;
    };
    struct TooLong {
        std::size_t limit = 0;
        bool operator==(const TooLong&) const = default;
    };
    struct HoldsNul {
        bool operator==(const HoldsNul&) const = default;
    };
    struct UnsafePath {
        bool operator==(const UnsafePath&) const = default;
    };
    struct NoContent {
        std::string name;
        bool operator==(const NoContent&) const = default;
    };
    struct SessionClosed {
        bool operator==(const SessionClosed&) const = default;
    };
    struct Io {
        std::string message;
        bool operator==(const Io&) const = default;
    };
    using Variant =
        std::variant<NotInComparison, NotOwnDocument, NotDeployable, TooLong, HoldsNul, UnsafePath, NoContent,
                     SessionClosed, Io>;

    SourceOverrideError(Variant value) : value_(std::move(value)) {}

    const Variant& variant() const noexcept { return value_; }
    template <class T>
    const T* get_if() const noexcept {
        return std::get_if<T>(&value_);
    }
    std::string message() const;

    bool operator==(const SourceOverrideError&) const = default;

private:
    Variant value_;
};

}  // namespace ambrel::app
