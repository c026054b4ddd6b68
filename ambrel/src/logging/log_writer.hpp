#pragma once

// The session log file: one JSON object per line, created lazily under the workspace root, capped
// at 8 MiB per session, with the older session logs of the folder pruned to the newest four.

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace ambrel::logging {

// Off writes nothing; Standard writes every event; Detailed adds command arguments and the failed
// rows of a deploy outcome.
enum class LogLevel : std::uint8_t { Off, Standard, Detailed };

// "off", "standard" and "detailed" exactly (letter case counts, no blanks); none otherwise.
std::optional<LogLevel> log_level_from_wire_id(std::string_view text);
std::string_view log_level_wire_id(LogLevel level) noexcept;

// A session stops logging after the line that brings its file to this size.
inline constexpr std::uint64_t kLogSizeLimitBytes = 8'388'608;
// Older session logs kept beside the current one.
inline constexpr std::size_t kKeptOlderLogs = 4;
// Texts taken from outside are cut to this many characters before they are logged.
inline constexpr std::size_t kMaxLoggedChars = 2'048;

// The local wall-clock time of an instant (milliseconds since the epoch) as
// "YYYY-MM-DDTHH:MM:SS.mmm", without a zone suffix.
std::string local_timestamp(std::uint64_t millis_since_epoch);

// The text cut to its first 2,048 characters (Unicode scalar values); nothing marks the cut.
std::string truncate_chars(std::string_view text);

// The final line written at the size cap: "logTruncated" with "limitBytes" 8388608, for now.
std::string truncation_line();

// Milliseconds since the Unix epoch now (0 before the epoch).
std::uint64_t now_millis_since_epoch() noexcept;

// Receives finished lines (without their line end). Implementations accept calls from several
// threads at once and never interleave two lines.
class LogWriter {
public:
    virtual ~LogWriter() = default;
    virtual void write_line(std::string_view line) = 0;
    // The file written to, when there is one.
    virtual std::optional<std::filesystem::path> path() const = 0;
};

// The session's JSON-lines file. Nothing is created until the first line; then the folder is
// created (and made private), the file is created with mode 0600, and older session logs of the
// folder are pruned. Any file-system failure, or reaching the size cap, ends logging for the session
// silently: the log never reports failures.
class JsonlFileWriter final : public LogWriter {
public:
    // A writer for directory/"session-{millis}-{pid}.jsonl".
    static std::shared_ptr<JsonlFileWriter> open(const std::filesystem::path& directory,
                                                 std::uint64_t millis_since_epoch, std::int64_t process_id);

    explicit JsonlFileWriter(std::filesystem::path path);
    ~JsonlFileWriter() override;
    JsonlFileWriter(const JsonlFileWriter&) = delete;
    JsonlFileWriter& operator=(const JsonlFileWriter&) = delete;

    void write_line(std::string_view line) override;
    std::optional<std::filesystem::path> path() const override { return path_; }

    // True once logging has ended for this session (a failure or the size cap).
    bool is_disabled() const noexcept { return disabled_.load(std::memory_order_acquire); }

private:
    struct WriterState {
        std::uint64_t bytes_written = 0;
        int fd = -1;
    };

    bool open_file_locked();
    void prune_older_logs() const;
    void disable_locked();

    const std::filesystem::path path_;
    std::mutex mutex_;
    WriterState state_;
    std::atomic<bool> disabled_{false};
};

}  // namespace ambrel::logging
