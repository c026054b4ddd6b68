#pragma once

// Content-Length framing of the JSON-RPC streams. `read_frame` reads one incoming frame (header lines,
// a blank line, then exactly the declared number of body bytes) and hands the body on as bytes; it
// knows nothing of JSON. `frame_header` is the one header every outgoing message gets.
//
// Limits: a header line may hold at most 8,192 bytes counted with its terminator, and a body at most
// 67,108,864 bytes. A header line is never stored beyond the limit: the reader stops at the byte that
// passes it, so an input without line feeds costs no more than one line's worth of memory. The body
// limit is checked before any body byte is read or any buffer is made.
//
// Failures (`FrameError::message`): "frame header did not contain Content-Length", "invalid
// Content-Length value: {}", "header line of {} bytes exceeded the 8192-byte limit", "stream ended
// before the framed payload completed", and the platform's text of a read failure (also "stream did
// not contain valid UTF-8" for a header line that is not UTF-8). After an error nothing is resynchronised.
//
// Thread-safety: a call uses only its reader; one reader belongs to one thread.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "main/io.hpp"

namespace ambrel::framing {

inline constexpr std::size_t kMaxHeaderLineBytes = 8'192;
inline constexpr std::uint64_t kMaxBodyBytes = 67'108'864;
inline constexpr std::string_view kContentLengthName = "content-length";
inline constexpr std::string_view kInvalidUtf8Text = "stream did not contain valid UTF-8";

struct FrameError {
    struct MissingContentLength {};
    struct InvalidContentLength {
        std::string value;
    };
    struct HeaderLineTooLong {
        std::size_t length = 0;
    };
    struct UnexpectedEnd {};
    struct Io {
        std::string text;
    };
    std::variant<MissingContentLength, InvalidContentLength, HeaderLineTooLong, UnexpectedEnd, Io> reason;

    std::string message() const;
};

// A body, or nothing at the clean end of the input (no byte of a new frame).
using FrameResult = std::expected<std::optional<std::string>, FrameError>;

FrameResult read_frame(server::BufferedReader& reader);

// "Content-Length: {}\r\n\r\n" for a body of that many bytes.
std::string frame_header(std::size_t body_length);
// Appends that header to `out`.
void append_frame_header(std::size_t body_length, std::string& out);

}  // namespace ambrel::framing
