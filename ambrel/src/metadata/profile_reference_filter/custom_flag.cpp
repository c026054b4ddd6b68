#include "metadata/profile_reference_filter/custom_flag.hpp"

#include <cstddef>

#include "metadata/metadata_namespace.hpp"
#include "text/text.hpp"
#include "xml/xml.hpp"

namespace ambrel::metadata::profile_reference_filter {

namespace {

constexpr std::string_view kCustomElement = "custom";
constexpr std::string_view kTrue = "true";
constexpr std::string_view kFalse = "false";

}  // namespace

std::expected<std::optional<bool>, std::string> profile_custom_flag(std::string_view document) {
    const std::string_view body = xml::strip_leading_boms(document);
    xml::Reader reader(body);
    std::optional<bool> flag;
    std::size_t depth = 0;
    bool capturing = false;
    std::string buffer;
    for (;;) {
        auto event = reader.next();
        if (!event) return std::unexpected(event.error().message());
        switch (event->kind) {
            case xml::EventKind::Eof:
                return flag;
            case xml::EventKind::Start:
                if (depth == 1 && event->local_name() == kCustomElement &&
                    in_metadata_namespace(reader.resolve_element(*event))) {
                    capturing = true;
                    buffer.clear();
                }
                ++depth;
                break;
            case xml::EventKind::End:
                if (depth > 0) --depth;
                if (depth == 1 && capturing) {
                    capturing = false;
                    const std::string_view value = text::trim(buffer);
                    if (value.size() == kFalse.size() && text::equals_ascii_case_insensitive(value, kFalse)) {
                        flag = false;
                    } else if (value.size() == kTrue.size() && text::equals_ascii_case_insensitive(value, kTrue)) {
                        flag = true;
                    }
                }
                break;
            case xml::EventKind::Text:
                // A piece that is not valid UTF-8 adds nothing; references arrive as events of their own.
                if (capturing && text::is_valid_utf8(event->raw)) buffer.append(event->raw);
                break;
            case xml::EventKind::CData:
                if (capturing) buffer.append(text::decode_lossy(event->content));
                break;
            case xml::EventKind::GeneralRef:
            case xml::EventKind::CharRef:
                if (capturing) {
                    if (auto valid = text::validate_utf8(event->name); !valid) {
                        return std::unexpected(valid.error().message());
                    }
                    auto appended = xml::append_reference(buffer, *event);
                    if (!appended) return std::unexpected(appended.error().description);
                }
                break;
            default:
                break;
        }
    }
}

}  // namespace ambrel::metadata::profile_reference_filter
