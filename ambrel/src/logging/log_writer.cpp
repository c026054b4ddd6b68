#include "logging/log_writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <limits>
#include <system_error>
#include <vector>

#include <fmt/format.h>

#include "json/json.hpp"
#include "platform_fs/files.hpp"
#include "platform_fs/unix.hpp"
#include "text/text.hpp"

namespace ambrel::logging {
namespace {

constexpr std::string_view kLogFilePrefix = "session-";
constexpr std::string_view kLogFileSuffix = ".jsonl";
constexpr std::int64_t kMillisPerDay = 86'400'000;

std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
    }
    return sum;
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

struct CivilDate {
    std::int64_t year;
    unsigned month;
    unsigned day;
};

// Days since 1970-01-01 to a proleptic Gregorian date (the era-based conversion by H. Hinnant).
CivilDate civil_from_days(std::int64_t days) {
    days += 719'468;
    const std::int64_t era = floor_div(days, 146'097);
    const auto day_of_era = static_cast<std::uint64_t>(days - era * 146'097);
    const std::uint64_t year_of_era =
        (day_of_era - day_of_era / 1'460 + day_of_era / 36'524 - day_of_era / 146'096) / 365;
    const std::uint64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::uint64_t month_index = (5 * day_of_year + 2) / 153;
    const auto day = static_cast<unsigned>(day_of_year - (153 * month_index + 2) / 5 + 1);
    const auto month = static_cast<unsigned>(month_index < 10 ? month_index + 3 : month_index - 9);
    const std::int64_t year = static_cast<std::int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0);
    return {year, month, day};
}

// Writes the line and its line feed in one call where the system allows, retrying interrupted and
// partial writes.
bool write_line_bytes(int fd, std::string_view line) {
    static const char kLineFeed = '\n';
    iovec parts[2] = {
        {const_cast<char*>(line.data()), line.size()},
        {const_cast<char*>(&kLineFeed), 1},
    };
    std::size_t first = 0;
    while (true) {
        while (first < 2 && parts[first].iov_len == 0) ++first;
        if (first == 2) return true;
        const ssize_t written = ::writev(fd, parts + first, static_cast<int>(2 - first));
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (written == 0) return false;
        auto remaining = static_cast<std::size_t>(written);
        for (std::size_t i = first; i < 2 && remaining > 0; ++i) {
            const std::size_t taken = std::min(remaining, parts[i].iov_len);
            parts[i].iov_base = static_cast<char*>(parts[i].iov_base) + taken;
            parts[i].iov_len -= taken;
            remaining -= taken;
        }
    }
}

bool is_session_log_name(const std::string& name) {
    return text::is_valid_utf8(name) && name.starts_with(kLogFilePrefix) && name.ends_with(kLogFileSuffix);
}

}  // namespace

std::optional<LogLevel> log_level_from_wire_id(std::string_view text) {
    if (text == "off") return LogLevel::Off;
    if (text == "standard") return LogLevel::Standard;
    if (text == "detailed") return LogLevel::Detailed;
    return std::nullopt;
}

std::string_view log_level_wire_id(LogLevel level) noexcept {
    switch (level) {
        case LogLevel::Off:
            return "off";
        case LogLevel::Standard:
            return "standard";
        case LogLevel::Detailed:
            return "detailed";
    }
    return "off";
}

std::string local_timestamp(std::uint64_t millis_since_epoch) {
    const auto millis = static_cast<std::int64_t>(
        std::min<std::uint64_t>(millis_since_epoch, static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())));
    std::int64_t offset_seconds = 0;
    const std::time_t seconds = static_cast<std::time_t>(millis / 1000);
    std::tm broken_down{};
    if (::localtime_r(&seconds, &broken_down) != nullptr) offset_seconds = broken_down.tm_gmtoff;

    const std::int64_t local = saturating_add(millis, offset_seconds * 1000);
    const std::int64_t days = floor_div(local, kMillisPerDay);
    const std::int64_t of_day = local - days * kMillisPerDay;
    const CivilDate date = civil_from_days(days);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}", date.year, date.month, date.day,
                       of_day / 3'600'000, of_day / 60'000 % 60, of_day / 1000 % 60, of_day % 1000);
}

std::string truncate_chars(std::string_view text) { return std::string(text::first_chars(text, kMaxLoggedChars)); }

std::uint64_t now_millis_since_epoch() noexcept {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(since).count();
    return millis < 0 ? 0 : static_cast<std::uint64_t>(millis);
}

std::string truncation_line() {
    const std::uint64_t now = now_millis_since_epoch();
    json::Object line;
    line["localTime"] = local_timestamp(now);
    line["ts"] = now;
    line["event"] = "logTruncated";
    line["op"] = std::uint64_t{0};
    line["limitBytes"] = kLogSizeLimitBytes;
    return json::write_compact(json::Value(std::move(line)));
}

std::shared_ptr<JsonlFileWriter> JsonlFileWriter::open(const std::filesystem::path& directory,
                                                       std::uint64_t millis_since_epoch, std::int64_t process_id) {
    return std::make_shared<JsonlFileWriter>(
        directory / fmt::format("{}{}-{}{}", kLogFilePrefix, millis_since_epoch, process_id, kLogFileSuffix));
}

JsonlFileWriter::JsonlFileWriter(std::filesystem::path path) : path_(std::move(path)) {}

JsonlFileWriter::~JsonlFileWriter() {
    if (state_.fd >= 0) ::close(state_.fd);
}

void JsonlFileWriter::write_line(std::string_view line) {
    if (disabled_.load(std::memory_order_acquire)) return;
    std::lock_guard lock(mutex_);
    if (disabled_.load(std::memory_order_relaxed)) return;
    if (state_.fd < 0 && !open_file_locked()) return;

    if (!write_line_bytes(state_.fd, line)) {
        disable_locked();
        return;
    }
    const std::uint64_t added = static_cast<std::uint64_t>(line.size()) + 1;
    state_.bytes_written = state_.bytes_written > std::numeric_limits<std::uint64_t>::max() - added
                               ? std::numeric_limits<std::uint64_t>::max()
                               : state_.bytes_written + added;
    if (state_.bytes_written >= kLogSizeLimitBytes) {
        write_line_bytes(state_.fd, truncation_line());
        disable_locked();
    }
}

bool JsonlFileWriter::open_file_locked() {
    const std::filesystem::path parent = path_.parent_path();
    if (!parent.empty()) {
        std::error_code error;
        std::filesystem::create_directories(parent, error);
        if (error) {
            disable_locked();
            return false;
        }
        // Tightens the application folder and its logs folder to the user alone; best effort.
        if (const std::filesystem::path grandparent = parent.parent_path(); !grandparent.empty()) {
            (void)platform_fs::unix::create_private_directory(grandparent);
        }
        (void)platform_fs::unix::create_private_directory(parent);
    }
    // Anything but a regular file at the log path (a FIFO, a link) ends logging.
    auto opened = platform_fs::files::open_private_append(path_);
    if (!opened) {
        disable_locked();
        return false;
    }
    const int fd = opened->release();
    state_.fd = fd;
    if (!parent.empty()) prune_older_logs();
    return true;
}

void JsonlFileWriter::prune_older_logs() const {
    const std::filesystem::path folder = path_.parent_path();
    const std::filesystem::path own_name = path_.filename();
    std::error_code error;
    std::filesystem::directory_iterator entries(folder, error);
    if (error) return;
    std::vector<std::filesystem::path> older;
    for (const std::filesystem::directory_iterator end; entries != end; entries.increment(error)) {
        if (error) return;
        std::error_code status_error;
        // Links are never counted (nor deleted): only regular files of the log's own form.
        const std::filesystem::file_status status = entries->symlink_status(status_error);
        if (status_error || !std::filesystem::is_regular_file(status)) continue;
        const std::filesystem::path name = entries->path().filename();
        if (name == own_name || !is_session_log_name(name.string())) continue;
        older.push_back(entries->path());
    }
    if (error) return;
    if (older.size() <= kKeptOlderLogs) return;
    std::sort(older.begin(), older.end());
    for (std::size_t i = 0; i + kKeptOlderLogs < older.size(); ++i) {
        std::error_code ignored;
        std::filesystem::remove(older[i], ignored);
    }
}

void JsonlFileWriter::disable_locked() {
    disabled_.store(true, std::memory_order_release);
    if (state_.fd >= 0) {
        ::close(state_.fd);
        state_.fd = -1;
    }
}

}  // namespace ambrel::logging
