#include "cli/catalogs/listing_checks.hpp"

namespace ambrel::cli::catalogs {

bool is_truncated_listing(const json::Object& result, std::size_t record_count) noexcept {
    if (json::get_bool(result, "done") == false) return true;
    const json::Value* total = json::find(result, "totalSize");
    if (total == nullptr || !json::is_integer(*total)) return false;
    const auto count = json::as_uint64(*total);
    return !count || *count != record_count;
}

}  // namespace ambrel::cli::catalogs
