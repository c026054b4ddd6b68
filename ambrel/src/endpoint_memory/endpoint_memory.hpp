#pragma once

// The memory of the last chosen source and target org aliases between runs: the small document
// "last-endpoints.json" in the per-user data directory, and the interface through which the workflow
// controller reads and writes it. Git endpoints are never remembered.
//
// `FileEndpointMemory::recall` never fails: a missing, unreadable, non-UTF-8 or rejected document
// means that nothing is remembered, and reading never writes, so a damaged or foreign document stays
// as it is. `FileEndpointMemory::remember` reports no error either (it answers not written): before it
// writes over a document that could not be read, it keeps that document beside as
// "last-endpoints.json.unreadable" (replacing an older one), so nothing the user had is lost
// silently, and it writes nothing when that fails; it writes a temporary file beside the document and
// renames it over, so a failed write leaves the previous document byte for byte and no temporary file
// behind. The document is read as UTF-8 JSON; "v" must be the integer 1 or the whole document is
// rejected; each side is then accepted or dropped on its own.
//
// Thread-safety: the objects keep no state between calls and have no lock; the controller serialises
// its own writes. Concurrent writers each rename a complete file of their own.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace ambrel::endpoint_memory {

// The document's file name in the data directory.
inline constexpr std::string_view kMemoryFileName = "last-endpoints.json";
// The only format version written and read.
inline constexpr std::uint64_t kMemoryVersion = 1;
// The one endpoint kind that is remembered.
inline constexpr std::string_view kOrgKind = "org";
// Where a document that could not be read is kept before it is written over.
inline constexpr std::string_view kUnreadableFileName = "last-endpoints.json.unreadable";

struct RememberedEndpoints {
    std::optional<std::string> source;
    std::optional<std::string> target;

    bool operator==(const RememberedEndpoints&) const = default;
};

// What remembering did.
struct RememberOutcome {
    // The document was written.
    bool written = false;
    // Where a document that could not be read was kept before it was written over.
    std::optional<std::filesystem::path> kept_aside;

    explicit operator bool() const noexcept { return written; }
};

class EndpointMemory {
public:
    virtual ~EndpointMemory() = default;

    // Both sides absent when nothing is remembered or the memory cannot be read.
    virtual RememberedEndpoints recall() const = 0;
    // Written when the document was written.
    virtual RememberOutcome remember(const RememberedEndpoints& remembered) const = 0;

protected:
    EndpointMemory() = default;
    EndpointMemory(const EndpointMemory&) = default;
    EndpointMemory& operator=(const EndpointMemory&) = default;
};

// Remembers nothing.
class NoEndpointMemory final : public EndpointMemory {
public:
    RememberedEndpoints recall() const override { return {}; }
    RememberOutcome remember(const RememberedEndpoints&) const override { return {}; }
};

// The document in a data directory; without one it behaves like `NoEndpointMemory`.
class FileEndpointMemory final : public EndpointMemory {
public:
    explicit FileEndpointMemory(std::optional<std::filesystem::path> data_directory)
        : data_directory_(std::move(data_directory)) {}

    // The per-user data directory of the running platform, from the process environment; absent when
    // the environment names none. Touches no file.
    static FileEndpointMemory discover();

    const std::optional<std::filesystem::path>& data_directory() const noexcept { return data_directory_; }

    RememberedEndpoints recall() const override;
    // Creates the data directory's missing parents (mode 0777 before the umask) and the data directory
    // itself as a private folder (0700), keeps a document that could not be read beside, then replaces
    // the document atomically.
    RememberOutcome remember(const RememberedEndpoints& remembered) const override;

private:
    std::optional<std::filesystem::path> data_directory_;
};

// The document's text: compact JSON with "v", "source", "target" in that order and one line feed.
std::string render_memory_document(const RememberedEndpoints& remembered);
// The remembered endpoints, or none when the document is rejected as a whole.
std::optional<RememberedEndpoints> parse_memory_document(std::string_view text);

}  // namespace ambrel::endpoint_memory
