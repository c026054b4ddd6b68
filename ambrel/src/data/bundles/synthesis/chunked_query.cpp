#include "data/bundles/synthesis/chunked_query.hpp"

#include <algorithm>

#include "data/bundles/synthesis/query_text.hpp"

namespace ambrel::data::bundles::synthesis {

ChannelResult<void> query_in_chunks(RecordChannels& channels, std::string_view org,
                                    std::span<const std::string> values, std::span<const ChunkQuery> queries,
                                    const domain::CancellationToken& token) {
    for (std::size_t start = 0; start < values.size(); start += kMaxInListValues) {
        const std::string list = id_list(values.subspan(start, std::min(kMaxInListValues, values.size() - start)));
        for (const ChunkQuery& query : queries) {
            std::string soql;
            soql.reserve(query.before.size() + list.size() + query.after.size());
            soql += query.before;
            soql += list;
            soql += query.after;
            auto rows = channels.query(org, soql, token);
            if (!rows) return std::unexpected(std::move(rows.error()));
            query.on_rows(*rows);
        }
    }
    return {};
}

ChannelResult<void> query_in_chunks(RecordChannels& channels, std::string_view org, std::string_view before,
                                    std::span<const std::string> values, std::string_view after,
                                    const domain::CancellationToken& token, const ChunkRows& on_rows) {
    const ChunkQuery query{std::string(before), std::string(after), on_rows};
    return query_in_chunks(channels, org, values, std::span<const ChunkQuery>(&query, 1), token);
}

}  // namespace ambrel::data::bundles::synthesis
