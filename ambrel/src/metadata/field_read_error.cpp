#include "metadata/field_read_error.hpp"

#include <algorithm>
#include <array>

#include <fmt/format.h>

#include "metadata_types/type_descriptor.hpp"
#include "text/text.hpp"

namespace ambrel::metadata {

namespace {

// Names of products that keep their capital in running text.
constexpr std::array<std::string_view, 4> kProductNames = {"Apex", "Aura", "Lightning", "Visualforce"};

bool keeps_capitals(std::string_view word) {
    // An abbreviation ("IP", "CMS", "OAuth") has a capital beyond its first letter.
    if (std::any_of(word.begin() + (word.empty() ? 0 : 1), word.end(), [](char c) { return c >= 'A' && c <= 'Z'; })) {
        return true;
    }
    return std::find(kProductNames.begin(), kProductNames.end(), word) != kProductNames.end();
}

}  // namespace

FieldReadError FieldReadError::of_kind(std::string kind) && {
    if (Invalid* invalid = std::get_if<Invalid>(&form_); invalid != nullptr && invalid->kind.empty()) {
        invalid->kind = std::move(kind);
    }
    return std::move(*this);
}

std::string FieldReadError::message() const {
    if (const Io* io = std::get_if<Io>(&form_)) return io->message;
    const Invalid& invalid = std::get<Invalid>(form_);
    const std::string path = text::decode_lossy(invalid.path.native());
    if (invalid.kind.empty()) return fmt::format("Invalid metadata in {}: {}", path, invalid.reason);
    return fmt::format("Invalid {} metadata in {}: {}", invalid.kind, path, invalid.reason);
}

std::string document_kind(metadata_types::MetadataType type) {
    const std::string_view label = type.descriptor().singular_label;
    std::string kind;
    kind.reserve(label.size());
    std::size_t start = 0;
    while (start <= label.size()) {
        const std::size_t space = std::min(label.find(' ', start), label.size());
        const std::string_view word = label.substr(start, space - start);
        if (!kind.empty()) kind.push_back(' ');
        kind.append(word);
        if (!word.empty() && !keeps_capitals(word) && word[0] >= 'A' && word[0] <= 'Z') {
            kind[kind.size() - word.size()] = static_cast<char>(word[0] - 'A' + 'a');
        }
        start = space + 1;
    }
    return kind;
}

}  // namespace ambrel::metadata
