#include "app/source_override_error.hpp"

#include <fmt/format.h>

namespace ambrel::app {

std::string SourceOverrideError::message() const {
    struct Render {
        std::string operator()(const NotInComparison&) const {
            return "The requested component is not part of the active comparison.";
        }
        std::string operator()(const NotOwnDocument&) const {
            return "Only a metadata document that belongs entirely to this row can be edited.";
        }
        std::string operator()(const NotDeployable&) const {
            return "This row is not deployable, so its document cannot be edited.";
        }
        std::string operator()(const TooLong& error) const {
            return fmt::format("The edited document is longer than {} characters.", error.limit);
        }
        std::string operator()(const HoldsNul&) const {
            return "The edited document holds a NUL character (U+0000), which no metadata document may hold.";
        }
        std::string operator()(const UnsafePath&) const { return "The component name does not render a safe file path."; }
        std::string operator()(const NoContent& error) const {
            return fmt::format("The edited component {} carries no content to replace.", error.name);
        }
        std::string operator()(const SessionClosed&) const {
            return "The comparison session has been closed; the workspace has been removed.";
        }
        std::string operator()(const Io& error) const { return error.message; }
    };
    return std::visit(Render{}, value_);
}

}  // namespace ambrel::app
