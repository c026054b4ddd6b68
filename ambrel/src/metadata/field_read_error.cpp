#include "metadata/field_read_error.hpp"

#include <fmt/format.h>

#include "text/text.hpp"

namespace ambrel::metadata {

std::string FieldReadError::message() const {
    if (const Io* io = std::get_if<Io>(&form_)) return io->message;
    const Invalid& invalid = std::get<Invalid>(form_);
    return fmt::format("Invalid custom field metadata in {}: {}", text::decode_lossy(invalid.path.native()),
                       invalid.reason);
}

}  // namespace ambrel::metadata
