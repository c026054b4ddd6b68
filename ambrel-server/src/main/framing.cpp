#include "main/framing.hpp"

#include <charconv>
#include <iterator>

#include <fmt/format.h>

#include "text/text.hpp"

namespace ambrel::framing {
namespace {

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};

FrameError error(auto reason) { return FrameError{std::move(reason)}; }

// One header line with its terminator, or nothing at the end of the input. Stops storing (and fails)
// at the byte that takes the line past the limit, so a line without a line feed stays bounded.
std::expected<std::optional<std::string>, FrameError> read_line(server::BufferedReader& reader) {
    std::string line;
    bool read_any = false;
    for (;;) {
        auto chunk = reader.fill();
        if (!chunk) return std::unexpected(error(FrameError::Io{chunk.error().text}));
        if (chunk->empty()) break;
        read_any = true;
        const std::size_t feed = chunk->find('\n');
        const std::size_t take = feed == std::string_view::npos ? chunk->size() : feed + 1;
        if (line.size() + take > kMaxHeaderLineBytes) {
            reader.consume(kMaxHeaderLineBytes + 1 - line.size());
            return std::unexpected(error(FrameError::HeaderLineTooLong{kMaxHeaderLineBytes + 1}));
        }
        line.append(chunk->substr(0, take));
        reader.consume(take);
        if (feed != std::string_view::npos) break;
    }
    if (!read_any) return std::optional<std::string>{};
    if (!text::is_valid_utf8(line)) return std::unexpected(error(FrameError::Io{std::string(kInvalidUtf8Text)}));
    return std::optional<std::string>{std::move(line)};
}

// An optional "+" then one or more ASCII digits, fitting 64 bits.
std::optional<std::uint64_t> parse_length(std::string_view value) {
    if (!value.empty() && value.front() == '+') value.remove_prefix(1);
    if (value.empty()) return std::nullopt;
    for (const char c : value) {
        if (c < '0' || c > '9') return std::nullopt;
    }
    std::uint64_t number = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), number);
    if (ec != std::errc{} || end != value.data() + value.size()) return std::nullopt;
    return number;
}

FrameResult read_body(server::BufferedReader& reader, std::uint64_t length) {
    std::string body(static_cast<std::size_t>(length), '\0');
    std::size_t filled = 0;
    while (filled < body.size()) {
        auto chunk = reader.fill();
        if (!chunk) return std::unexpected(error(FrameError::Io{chunk.error().text}));
        if (chunk->empty()) return std::unexpected(error(FrameError::UnexpectedEnd{}));
        const std::size_t take = std::min(chunk->size(), body.size() - filled);
        body.replace(filled, take, chunk->substr(0, take));
        reader.consume(take);
        filled += take;
    }
    return std::optional<std::string>{std::move(body)};
}

}  // namespace

std::string FrameError::message() const {
    return std::visit(Overloaded{
                          [](const MissingContentLength&) {
                              return std::string("frame header did not contain Content-Length");
                          },
                          [](const InvalidContentLength& e) {
                              return fmt::format("invalid Content-Length value: {}", e.value);
                          },
                          [](const HeaderLineTooLong& e) {
                              return fmt::format("header line of {} bytes exceeded the {}-byte limit", e.length,
                                                 kMaxHeaderLineBytes);
                          },
                          [](const UnexpectedEnd&) {
                              return std::string("stream ended before the framed payload completed");
                          },
                          [](const Io& e) { return e.text; },
                      },
                      reason);
}

FrameResult read_frame(server::BufferedReader& reader) {
    std::optional<std::uint64_t> declared;
    bool header_seen = false;
    for (;;) {
        auto line = read_line(reader);
        if (!line) return std::unexpected(std::move(line.error()));
        if (!line->has_value()) {
            if (header_seen) return std::unexpected(error(FrameError::UnexpectedEnd{}));
            return std::optional<std::string>{};
        }
        std::string_view content = **line;
        while (!content.empty() && (content.back() == '\r' || content.back() == '\n')) content.remove_suffix(1);
        if (content.empty()) {
            if (!declared) return std::unexpected(error(FrameError::MissingContentLength{}));
            if (*declared > kMaxBodyBytes) {
                return std::unexpected(error(FrameError::InvalidContentLength{std::to_string(*declared)}));
            }
            return read_body(reader, *declared);
        }
        header_seen = true;
        const std::size_t colon = content.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string_view name = text::trim(content.substr(0, colon));
        if (!text::equals_ascii_case_insensitive(name, kContentLengthName)) continue;
        const std::string_view value = text::trim(content.substr(colon + 1));
        const auto length = parse_length(value);
        if (!length) return std::unexpected(error(FrameError::InvalidContentLength{std::string(value)}));
        declared = *length;
    }
}

std::string frame_header(std::size_t body_length) {
    std::string header;
    append_frame_header(body_length, header);
    return header;
}

void append_frame_header(std::size_t body_length, std::string& out) {
    fmt::format_to(std::back_inserter(out), "Content-Length: {}\r\n\r\n", body_length);
}

}  // namespace ambrel::framing
