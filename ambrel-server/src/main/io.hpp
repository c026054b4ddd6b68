#pragma once

// The byte streams of the server: a buffered reader over a file descriptor (standard input in the
// executable, a pipe in the tests) and a writer over a file descriptor (standard output).
//
// The reader never owns its descriptor and never reads ahead of what a caller asks beyond one buffer
// fill. Read failures are values (`IoError` with the platform's text, for example "Bad file
// descriptor"); an interrupted read is retried. The writer writes every byte or reports the failure
// ("Broken pipe" when the client has closed its end; the process must ignore SIGPIPE for that).
//
// Thread-safety: neither class is thread-safe; each belongs to one thread (the reader loop, the
// writer thread).

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

namespace ambrel::server {

// The size of the reader's buffer.
inline constexpr std::size_t kReaderBufferSize = 8'192;

struct IoError {
    std::string text;
    const std::string& message() const noexcept { return text; }
};

// An IoError from errno's current value.
IoError last_io_error();

// Every diagnostic line of the server starts with this.
inline constexpr std::string_view kDiagnosticPrefix = "ambrel-server: ";

// Writes "ambrel-server: {line}\n" to standard error in one call; a failure is ignored.
void write_diagnostic(std::string_view line);

class BufferedReader {
public:
    explicit BufferedReader(int fd, std::size_t capacity = kReaderBufferSize);

    // The buffered bytes, filling the buffer first when it is empty. An empty view means the end of
    // the input.
    std::expected<std::string_view, IoError> fill();
    // Marks `count` buffered bytes as taken (at most the size of the last fill).
    void consume(std::size_t count) noexcept;
    // From the moment `stop_fd` is readable, the input counts as ended: a fill that finds the buffer
    // empty answers the end instead of waiting for more input (a stop signal's wake descriptor).
    void stop_when_readable(int stop_fd) noexcept { stop_fd_ = stop_fd; }

private:
    // Waits until the input or the stop descriptor is readable; true when the stop is.
    std::expected<bool, IoError> stop_requested();

    std::string buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    int fd_;
    int stop_fd_ = -1;
};

// Where the writer thread sends frames.
class Output {
public:
    virtual ~Output() = default;
    virtual std::expected<void, IoError> write_all(std::string_view bytes) = 0;
    virtual std::expected<void, IoError> flush() = 0;
};

// Writes straight to a descriptor (which it does not own); flushing has nothing to do.
class FdOutput final : public Output {
public:
    explicit FdOutput(int fd) noexcept : fd_(fd) {}
    std::expected<void, IoError> write_all(std::string_view bytes) override;
    std::expected<void, IoError> flush() override { return {}; }

private:
    int fd_;
};

}  // namespace ambrel::server
