#include <cstring>

#include <fmt/format.h>

#include "support/programming_error.hpp"
#include "xml/lexer.hpp"
#include "xml/xml.hpp"

namespace ambrel::xml {

using detail::is_name_char;
using detail::is_name_start;
using detail::is_space;
using detail::scan_name;

namespace {

// Beyond this many bindings in scope, prefix lookups go through a hash index instead of a scan.
constexpr std::size_t kIndexedBindings = 32;
// Beyond this many attributes, duplicate checks go through a hash set instead of a scan.
constexpr std::size_t kHashedAttributes = 8;

constexpr std::string_view kCommentOpen = "<!--";
constexpr std::string_view kCDataOpen = "<![CDATA[";
constexpr std::string_view kDocTypeOpen = "<!DOCTYPE";

// True when the text at `pos` starts with `prefix`; `truncated` tells that the text ends while it
// still matches.
bool starts_with_at(std::string_view s, std::size_t pos, std::string_view prefix, bool& truncated) {
    const std::string_view rest = s.substr(pos);
    if (rest.size() < prefix.size()) {
        truncated = prefix.starts_with(rest);
        return false;
    }
    truncated = false;
    return rest.starts_with(prefix);
}

std::size_t skip_spaces(std::string_view s, std::size_t pos) noexcept {
    while (pos < s.size() && is_space(s[pos])) ++pos;
    return pos;
}

Error make_error(ErrorKind kind, std::size_t offset, std::string subject, std::string description) {
    Error error;
    error.kind = kind;
    error.offset = offset;
    error.subject = std::move(subject);
    error.description = std::move(description);
    return error;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Errors and names
// ---------------------------------------------------------------------------------------------

std::string Error::message() const {
    if (line == 0) return description;
    return fmt::format("{} at line {}, column {}", description, line, column);
}

std::pair<std::size_t, std::size_t> line_column(std::string_view input, std::size_t offset) noexcept {
    offset = std::min(offset, input.size());
    std::size_t line = 1;
    std::size_t line_start = 0;
    const char* data = input.data();
    std::size_t pos = 0;
    while (pos < offset) {
        const void* hit = std::memchr(data + pos, '\n', offset - pos);
        if (hit == nullptr) break;
        pos = static_cast<std::size_t>(static_cast<const char*>(hit) - data) + 1;
        ++line;
        line_start = pos;
    }
    return {line, offset - line_start + 1};
}

std::string_view local_part(std::string_view qualified_name) noexcept {
    const std::size_t colon = qualified_name.find(':');
    return colon == std::string_view::npos ? qualified_name : qualified_name.substr(colon + 1);
}

std::string_view prefix_part(std::string_view qualified_name) noexcept {
    const std::size_t colon = qualified_name.find(':');
    return colon == std::string_view::npos ? std::string_view{} : qualified_name.substr(0, colon);
}

std::string_view after_last_colon(std::string_view name) noexcept {
    const std::size_t colon = name.rfind(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

bool is_text_piece(EventKind kind) noexcept {
    return kind == EventKind::Text || kind == EventKind::GeneralRef || kind == EventKind::CharRef;
}

std::string_view to_string(EventKind kind) noexcept {
    switch (kind) {
        case EventKind::Start: return "Start";
        case EventKind::End: return "End";
        case EventKind::Empty: return "Empty";
        case EventKind::Text: return "Text";
        case EventKind::CData: return "CData";
        case EventKind::Comment: return "Comment";
        case EventKind::Decl: return "Decl";
        case EventKind::PI: return "PI";
        case EventKind::DocType: return "DocType";
        case EventKind::GeneralRef: return "GeneralRef";
        case EventKind::CharRef: return "CharRef";
        case EventKind::Eof: return "Eof";
    }
    return "Unknown";
}

// ---------------------------------------------------------------------------------------------
// Attributes
// ---------------------------------------------------------------------------------------------

bool Attribute::is_namespace_declaration() const noexcept {
    return name == "xmlns" || name.starts_with("xmlns:");
}

std::expected<std::string, Error> Attribute::normalized_value() const {
    auto normalized = normalize_attribute_value(value);
    if (!normalized) {
        Error error = std::move(normalized.error());
        // The value ends right before the closing quote, the last byte of the attribute.
        error.offset += end - 1 - value.size();
        return std::unexpected(std::move(error));
    }
    return normalized;
}

AttributeIterator Event::attributes() const noexcept {
    if (kind != EventKind::Start && kind != EventKind::Empty) return {};
    const auto offset = begin + static_cast<std::size_t>(content.data() - raw.data());
    return AttributeIterator(content, offset);
}

bool AttributeIterator::seen_before(std::string_view name) {
    if (!seen_set_.empty()) return !seen_set_.insert(name).second;
    for (std::string_view seen : seen_) {
        if (seen == name) return true;
    }
    seen_.push_back(name);
    if (seen_.size() > kHashedAttributes) {
        seen_set_.insert(seen_.begin(), seen_.end());
        seen_.clear();
    }
    return false;
}

std::expected<std::optional<Attribute>, Error> AttributeIterator::next() {
    if (fault_) return std::unexpected(*fault_);
    const std::string_view s = region_;
    const auto fail = [&](ErrorKind kind, std::size_t at, std::string subject, std::string description)
        -> std::expected<std::optional<Attribute>, Error> {
        fault_ = make_error(kind, region_offset_ + at, std::move(subject), std::move(description));
        return std::unexpected(*fault_);
    };

    const std::size_t start = skip_spaces(s, pos_);
    if (start >= s.size()) {
        pos_ = start;
        return std::optional<Attribute>{};
    }
    if (start == pos_) {
        return fail(ErrorKind::MalformedAttribute, start, {},
                    "attributes must be separated by white space");
    }
    const std::size_t name_end = scan_name(s, start);
    if (name_end == start) {
        return fail(ErrorKind::MalformedAttribute, start, std::string(s.substr(start, 1)),
                    "invalid attribute name");
    }
    const std::string_view name = s.substr(start, name_end - start);
    std::size_t i = skip_spaces(s, name_end);
    if (i >= s.size() || s[i] != '=') {
        return fail(ErrorKind::MalformedAttribute, i, std::string(name),
                    fmt::format("attribute {} has no value", name));
    }
    i = skip_spaces(s, i + 1);
    if (i >= s.size() || (s[i] != '"' && s[i] != '\'')) {
        return fail(ErrorKind::MalformedAttribute, i, std::string(name),
                    fmt::format("the value of attribute {} is not quoted", name));
    }
    const char quote = s[i];
    const std::size_t close = s.find(quote, i + 1);
    if (close == std::string_view::npos) {
        return fail(ErrorKind::MalformedAttribute, i, std::string(name),
                    fmt::format("the value of attribute {} is not closed", name));
    }
    const std::string_view value = s.substr(i + 1, close - i - 1);
    if (const std::size_t lt = value.find('<'); lt != std::string_view::npos) {
        return fail(ErrorKind::MalformedAttribute, i + 1 + lt, std::string(name),
                    fmt::format("the value of attribute {} holds \"<\"", name));
    }
    if (seen_before(name)) {
        return fail(ErrorKind::DuplicateAttribute, start, std::string(name),
                    fmt::format("duplicate attribute {}", name));
    }
    pos_ = close + 1;
    Attribute attribute;
    attribute.name = name;
    attribute.value = value;
    attribute.begin = region_offset_ + start;
    attribute.end = region_offset_ + close + 1;
    return std::optional<Attribute>{attribute};
}

// ---------------------------------------------------------------------------------------------
// Reader
// ---------------------------------------------------------------------------------------------

std::size_t Reader::depth() const noexcept {
    return open_.size() - (pending_ == Pending::CloseElement ? 1 : 0);
}

Event Reader::emit(EventKind kind, std::size_t begin, std::size_t end) noexcept {
    Event event;
    event.kind = kind;
    event.begin = begin;
    event.end = end;
    event.raw = input_.substr(begin, end - begin);
    pos_ = end;
    last_begin_ = begin;
    last_kind_ = kind;
    has_last_ = true;
    return event;
}

std::expected<Event, Error> Reader::fail(ErrorKind kind, std::size_t offset, std::string subject,
                                         std::string description) {
    Error error = make_error(kind, offset, std::move(subject), std::move(description));
    const auto [line, column] = line_column(input_, offset);
    error.line = line;
    error.column = column;
    fault_ = error;
    return std::unexpected(std::move(error));
}

void Reader::settle_pending() {
    switch (pending_) {
        case Pending::None: return;
        case Pending::CloseElement:
            truncate_bindings(open_.back().bindings_before);
            open_.pop_back();
            break;
        case Pending::DropEmptyScope:
            truncate_bindings(pending_bindings_);
            break;
    }
    pending_ = Pending::None;
}

std::expected<Event, Error> Reader::next() {
    if (fault_) return std::unexpected(*fault_);
    settle_pending();
    const std::size_t size = input_.size();
    if (pos_ >= size) return emit(EventKind::Eof, size, size);
    if (input_[pos_] == '<') return read_markup();
    if (input_[pos_] == '&') return read_reference();
    const char* data = input_.data();
    // The "<" found for an earlier piece of this run still bounds it: no "<" lies before it.
    if (next_lt_ <= pos_) {
        const char* lt = static_cast<const char*>(std::memchr(data + pos_, '<', size - pos_));
        next_lt_ = lt != nullptr ? static_cast<std::size_t>(lt - data) : size;
    }
    const char* stop = data + next_lt_;
    const char* amp =
        static_cast<const char*>(std::memchr(data + pos_, '&', static_cast<std::size_t>(stop - (data + pos_))));
    if (amp != nullptr) stop = amp;
    Event event = emit(EventKind::Text, pos_, static_cast<std::size_t>(stop - data));
    event.content = event.raw;
    return event;
}

std::expected<Event, Error> Reader::read_reference() {
    const detail::LexedReference lexed = detail::lex_reference(input_, pos_);
    switch (lexed.kind) {
        case detail::ReferenceLex::Truncated:
            return fail(ErrorKind::UnexpectedEof, pos_, {}, "unterminated reference");
        case detail::ReferenceLex::Malformed:
            return fail(ErrorKind::MalformedReference, pos_, {},
                        "\"&\" does not start an entity or character reference");
        case detail::ReferenceLex::General: {
            Event event = emit(EventKind::GeneralRef, pos_, lexed.end);
            event.name = lexed.name;
            return event;
        }
        case detail::ReferenceLex::Char: {
            Event event = emit(EventKind::CharRef, pos_, lexed.end);
            event.name = lexed.name;
            return event;
        }
    }
    return fail(ErrorKind::MalformedReference, pos_, {}, "malformed reference");
}

std::expected<Event, Error> Reader::read_markup() {
    if (pos_ + 1 >= input_.size()) {
        return fail(ErrorKind::UnexpectedEof, pos_, {}, "unterminated markup");
    }
    switch (input_[pos_ + 1]) {
        case '/': return read_end_tag();
        case '?': return read_pi();
        case '!': return read_bang();
        default: return read_start_tag();
    }
}

std::expected<Event, Error> Reader::read_start_tag() {
    const std::string_view s = input_;
    const std::size_t name_begin = pos_ + 1;
    const std::size_t name_end = scan_name(s, name_begin);
    if (name_end == name_begin) {
        return fail(ErrorKind::InvalidName, name_begin, std::string(s.substr(name_begin, 1)),
                    "\"<\" is not followed by an element name");
    }
    const std::string_view name = s.substr(name_begin, name_end - name_begin);
    std::size_t k = name_end;
    if (k < s.size() && s[k] != '>') {
        // Find the ">" that ends the tag; quoted values may hold ">" and "/".
        while (true) {
            if (k >= s.size()) {
                return fail(ErrorKind::UnexpectedEof, pos_, std::string(name),
                            fmt::format("unterminated start tag <{}>", name));
            }
            const char c = s[k];
            if (c == '>') break;
            if (c == '"' || c == '\'') {
                const std::size_t close = s.find(c, k + 1);
                if (close == std::string_view::npos) {
                    return fail(ErrorKind::UnexpectedEof, k, std::string(name),
                                fmt::format("unterminated attribute value in <{}>", name));
                }
                k = close + 1;
                continue;
            }
            if (c == '<') {
                return fail(ErrorKind::MalformedMarkup, k, std::string(name),
                            fmt::format("\"<\" inside the tag <{}>", name));
            }
            ++k;
        }
    } else if (k >= s.size()) {
        return fail(ErrorKind::UnexpectedEof, pos_, std::string(name),
                    fmt::format("unterminated start tag <{}>", name));
    }
    const bool empty = k > name_end && s[k - 1] == '/';
    Event event = emit(empty ? EventKind::Empty : EventKind::Start, pos_, k + 1);
    event.name = name;
    event.content = s.substr(name_end, (empty ? k - 1 : k) - name_end);

    const std::size_t bindings_before = bindings_.size();
    if (!event.content.empty() && event.content.find("xmlns") != std::string_view::npos) {
        declare_namespaces(event);
    }
    if (empty) {
        pending_ = Pending::DropEmptyScope;
        pending_bindings_ = bindings_before;
    } else {
        open_.push_back({name, bindings_before});
    }
    return event;
}

std::expected<Event, Error> Reader::read_end_tag() {
    const std::string_view s = input_;
    const std::size_t name_begin = pos_ + 2;
    const std::size_t name_end = scan_name(s, name_begin);
    if (name_end == name_begin) {
        if (name_begin >= s.size()) return fail(ErrorKind::UnexpectedEof, pos_, {}, "unterminated end tag");
        return fail(ErrorKind::InvalidName, name_begin, std::string(s.substr(name_begin, 1)),
                    "\"</\" is not followed by an element name");
    }
    const std::string_view name = s.substr(name_begin, name_end - name_begin);
    const std::size_t close = skip_spaces(s, name_end);
    if (close >= s.size()) {
        return fail(ErrorKind::UnexpectedEof, pos_, std::string(name),
                    fmt::format("unterminated end tag </{}>", name));
    }
    if (s[close] != '>') {
        return fail(ErrorKind::MalformedMarkup, close, std::string(name),
                    fmt::format("malformed end tag </{}>", name));
    }
    if (open_.empty()) {
        return fail(ErrorKind::UnmatchedEndTag, pos_, std::string(name),
                    fmt::format("end tag </{}> has no open element", name));
    }
    if (open_.back().name != name) {
        return fail(ErrorKind::MismatchedEndTag, pos_, std::string(name),
                    fmt::format("end tag </{}> does not match start tag <{}>", name, open_.back().name));
    }
    Event event = emit(EventKind::End, pos_, close + 1);
    event.name = name;
    pending_ = Pending::CloseElement;
    return event;
}

std::expected<Event, Error> Reader::read_pi() {
    const std::string_view s = input_;
    const std::size_t target_begin = pos_ + 2;
    const std::size_t target_end = scan_name(s, target_begin);
    if (target_end == target_begin) {
        if (target_begin >= s.size()) {
            return fail(ErrorKind::UnexpectedEof, pos_, {}, "unterminated processing instruction");
        }
        return fail(ErrorKind::InvalidName, target_begin, std::string(s.substr(target_begin, 1)),
                    "\"<?\" is not followed by a target name");
    }
    const std::size_t close = s.find("?>", target_end);
    if (close == std::string_view::npos) {
        return fail(ErrorKind::UnexpectedEof, pos_, {}, "unterminated processing instruction");
    }
    if (close != target_end && !is_space(s[target_end])) {
        return fail(ErrorKind::MalformedMarkup, target_end, {},
                    "the target of a processing instruction is not followed by white space");
    }
    const std::string_view target = s.substr(target_begin, target_end - target_begin);
    Event event = emit(target == "xml" ? EventKind::Decl : EventKind::PI, pos_, close + 2);
    event.name = target;
    const std::size_t data = skip_spaces(s.substr(0, close), target_end);
    event.content = s.substr(data, close - data);
    return event;
}

std::expected<Event, Error> Reader::read_bang() {
    const std::string_view s = input_;
    bool truncated = false;
    if (starts_with_at(s, pos_, kCommentOpen, truncated)) {
        const std::size_t inner = pos_ + kCommentOpen.size();
        const std::size_t close = s.find("-->", inner);
        if (close == std::string_view::npos) {
            return fail(ErrorKind::UnexpectedEof, pos_, {}, "unterminated comment");
        }
        Event event = emit(EventKind::Comment, pos_, close + 3);
        event.content = s.substr(inner, close - inner);
        return event;
    }
    if (truncated) return fail(ErrorKind::UnexpectedEof, pos_, {}, "unterminated comment");
    if (starts_with_at(s, pos_, kCDataOpen, truncated)) {
        const std::size_t inner = pos_ + kCDataOpen.size();
        const std::size_t close = s.find("]]>", inner);
        if (close == std::string_view::npos) {
            return fail(ErrorKind::UnexpectedEof, pos_, {}, "unterminated CDATA section");
        }
        Event event = emit(EventKind::CData, pos_, close + 3);
        event.content = s.substr(inner, close - inner);
        return event;
    }
    if (truncated) return fail(ErrorKind::UnexpectedEof, pos_, {}, "unterminated CDATA section");
    if (starts_with_at(s, pos_, kDocTypeOpen, truncated)) return read_doctype();
    if (truncated) return fail(ErrorKind::UnexpectedEof, pos_, {}, "unterminated DOCTYPE");
    return fail(ErrorKind::MalformedMarkup, pos_, {},
                "\"<!\" starts neither a comment, a CDATA section nor a DOCTYPE");
}

std::expected<Event, Error> Reader::read_doctype() {
    const std::string_view s = input_;
    const std::size_t inner = pos_ + kDocTypeOpen.size();
    std::size_t k = inner;
    bool in_subset = false;
    const auto eof = [&] { return fail(ErrorKind::UnexpectedEof, pos_, {}, "unterminated DOCTYPE"); };
    // The internal subset is skipped, not read: quoted literals, comments and PIs inside it may
    // hold "]" and ">" that end nothing.
    while (true) {
        if (k >= s.size()) return eof();
        const char c = s[k];
        if (c == '"' || c == '\'') {
            const std::size_t close = s.find(c, k + 1);
            if (close == std::string_view::npos) return eof();
            k = close + 1;
        } else if (in_subset && s.substr(k).starts_with("<!--")) {
            const std::size_t close = s.find("-->", k + 4);
            if (close == std::string_view::npos) return eof();
            k = close + 3;
        } else if (in_subset && s.substr(k).starts_with("<?")) {
            const std::size_t close = s.find("?>", k + 2);
            if (close == std::string_view::npos) return eof();
            k = close + 2;
        } else if (c == '[' && !in_subset) {
            in_subset = true;
            ++k;
        } else if (c == ']' && in_subset) {
            in_subset = false;
            ++k;
        } else if (c == '>' && !in_subset) {
            break;
        } else {
            ++k;
        }
    }
    Event event = emit(EventKind::DocType, pos_, k + 1);
    event.content = s.substr(inner, k - inner);
    return event;
}

// ---------------------------------------------------------------------------------------------
// Namespace scope
// ---------------------------------------------------------------------------------------------

void Reader::declare_namespaces(const Event& tag) {
    AttributeIterator attributes = tag.attributes();
    while (true) {
        auto attribute = attributes.next();
        // Declarations after a malformed attribute are not trusted; the walk ends there, and a
        // caller that reads the attributes meets the fault itself.
        if (!attribute || !attribute->has_value()) return;
        const Attribute& a = **attribute;
        if (!a.is_namespace_declaration()) continue;
        const std::string_view prefix = a.name.size() == 5 ? std::string_view{} : a.name.substr(6);
        std::string_view uri = a.value;
        if (uri.find_first_of("&\t\n\r") != std::string_view::npos) {
            auto normalized = normalize_attribute_value(uri);
            if (!normalized) return;
            uri = decoded_uris_.emplace_back(std::move(*normalized));
        }
        push_binding(prefix, uri);
    }
}

void Reader::push_binding(std::string_view prefix, std::string_view uri) {
    Binding binding{prefix, uri, -1};
    if (indexed_) {
        auto [it, inserted] = binding_index_.try_emplace(prefix, bindings_.size());
        if (!inserted) {
            binding.shadowed = static_cast<std::ptrdiff_t>(it->second);
            it->second = bindings_.size();
        }
    } else {
        for (std::size_t i = bindings_.size(); i-- > 0;) {
            if (bindings_[i].prefix == prefix) {
                binding.shadowed = static_cast<std::ptrdiff_t>(i);
                break;
            }
        }
    }
    bindings_.push_back(binding);
    if (!indexed_ && bindings_.size() > kIndexedBindings) {
        for (std::size_t i = 0; i < bindings_.size(); ++i) binding_index_[bindings_[i].prefix] = i;
        indexed_ = true;
    }
}

void Reader::truncate_bindings(std::size_t count) {
    if (indexed_) {
        while (bindings_.size() > count) {
            const Binding& top = bindings_.back();
            if (top.shadowed >= 0) {
                binding_index_[top.prefix] = static_cast<std::size_t>(top.shadowed);
            } else {
                binding_index_.erase(top.prefix);
            }
            bindings_.pop_back();
        }
        if (bindings_.size() <= kIndexedBindings / 2) {
            binding_index_.clear();
            indexed_ = false;
        }
    } else if (bindings_.size() > count) {
        bindings_.resize(count);
    }
}

const Reader::Binding* Reader::find_binding(std::string_view prefix) const {
    if (indexed_) {
        const auto it = binding_index_.find(prefix);
        return it == binding_index_.end() ? nullptr : &bindings_[it->second];
    }
    for (std::size_t i = bindings_.size(); i-- > 0;) {
        if (bindings_[i].prefix == prefix) return &bindings_[i];
    }
    return nullptr;
}

Namespace Reader::resolve_prefix(std::string_view prefix) const {
    if (prefix == "xml") return {NamespaceState::Bound, kXmlNamespaceUri};
    if (prefix == "xmlns") return {NamespaceState::Bound, kXmlnsNamespaceUri};
    const Binding* binding = find_binding(prefix);
    if (binding == nullptr || binding->uri.empty()) {
        return {prefix.empty() ? NamespaceState::Unbound : NamespaceState::Unknown, {}};
    }
    return {NamespaceState::Bound, binding->uri};
}

Namespace Reader::resolve_name(std::string_view qualified_name) const {
    const std::size_t colon = qualified_name.find(':');
    if (colon == std::string_view::npos) return resolve_prefix({});
    // ":name" and "name:" bind to nothing that could be declared.
    if (colon == 0 || colon + 1 == qualified_name.size()) return {NamespaceState::Unknown, {}};
    return resolve_prefix(qualified_name.substr(0, colon));
}

Namespace Reader::resolve_element(const Event& event) const {
    if (!event.is_element()) return {};
    support::require(has_last_ && event.begin == last_begin_ && event.kind == last_kind_,
                     "xml::Reader::resolve_element needs the event the reader returned last");
    return resolve_name(event.name);
}

std::expected<std::string, Error> Reader::read_text(const Event& start) {
    support::require(has_last_ && start.begin == last_begin_ && start.kind == last_kind_ &&
                         (start.kind == EventKind::Start || start.kind == EventKind::Empty),
                     "xml::Reader::read_text needs the Start or Empty event the reader returned last");
    std::string text;
    if (start.kind == EventKind::Empty) return text;
    const std::size_t outer_depth = depth() - 1;
    while (true) {
        auto event = next();
        if (!event) return std::unexpected(std::move(event.error()));
        switch (event->kind) {
            case EventKind::Text: text.append(event->raw); break;
            case EventKind::CData: text.append(event->content); break;
            case EventKind::GeneralRef:
            case EventKind::CharRef: {
                auto appended = append_reference(text, *event);
                if (!appended) {
                    Error error = std::move(appended.error());
                    const auto [line, column] = line_column(input_, error.offset);
                    error.line = line;
                    error.column = column;
                    return std::unexpected(std::move(error));
                }
                break;
            }
            case EventKind::End:
                if (depth() == outer_depth) return text;
                break;
            case EventKind::Eof: {
                Error error = make_error(ErrorKind::UnexpectedEof, event->begin, std::string(start.name),
                                         fmt::format("element <{}> is not closed", start.name));
                const auto [line, column] = line_column(input_, error.offset);
                error.line = line;
                error.column = column;
                return std::unexpected(std::move(error));
            }
            default: break;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Document shape
// ---------------------------------------------------------------------------------------------

std::optional<Error> DocumentShape::observe(const Event& event, const Reader& reader) {
    const auto fault = [&](ErrorKind kind, std::size_t offset, std::string_view subject, std::string description) {
        Error error = make_error(kind, offset, std::string(subject), std::move(description));
        const auto [line, column] = line_column(reader.input(), offset);
        error.line = line;
        error.column = column;
        return std::optional<Error>(std::move(error));
    };
    const auto outside = [&](std::size_t offset) {
        if (phase_ == Phase::BeforeRoot) {
            return fault(ErrorKind::OutsideRoot, offset, {}, "text before the root element");
        }
        return fault(ErrorKind::OutsideRoot, offset, root_name_,
                     fmt::format("text after the end of the root element <{}>", root_name_));
    };
    const std::size_t depth = reader.depth();
    switch (event.kind) {
        case EventKind::Start:
        case EventKind::Empty: {
            const bool top_level = event.kind == EventKind::Start ? depth == 1 : depth == 0;
            if (!top_level) return std::nullopt;
            if (phase_ == Phase::AfterRoot) {
                return fault(ErrorKind::OutsideRoot, event.begin, event.name,
                             fmt::format("element <{}> after the end of the root element <{}>", event.name,
                                         root_name_));
            }
            root_name_ = event.name;
            phase_ = event.kind == EventKind::Start ? Phase::InRoot : Phase::AfterRoot;
            return std::nullopt;
        }
        case EventKind::End:
            if (depth == 0) phase_ = Phase::AfterRoot;
            return std::nullopt;
        case EventKind::Text: {
            if (depth != 0) return std::nullopt;
            std::string_view text = event.raw;
            if (event.begin == 0) text = strip_leading_boms(text);
            for (const char& c : text) {
                if (!is_space(c)) return outside(event.begin + static_cast<std::size_t>(&c - event.raw.data()));
            }
            return std::nullopt;
        }
        case EventKind::CData:
        case EventKind::GeneralRef:
        case EventKind::CharRef:
            if (depth != 0) return std::nullopt;
            return outside(event.begin);
        case EventKind::Eof:
            if (depth == 0) return std::nullopt;
            return fault(ErrorKind::UnexpectedEof, event.begin, root_name_,
                         fmt::format("root element <{}> is not closed", root_name_));
        case EventKind::Comment:
        case EventKind::Decl:
        case EventKind::PI:
        case EventKind::DocType:
            return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace ambrel::xml
