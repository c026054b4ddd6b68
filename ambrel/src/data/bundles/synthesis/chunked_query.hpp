#pragma once

// One SOQL query (or a fixed series of them) per chunk of an IN list: the values are taken in the order given, at most
// kMaxInListValues per query, each query's text being `before`, the chunk's quoted values (quoted and
// joined as `id_list` does) and `after`. Rows reach the caller chunk by chunk, in the org's order.
// The first failing query ends the walk with its `ChannelError`, unchanged (absent text: cancelled);
// later chunks are not sent. No values send nothing.
//
// Thread-safety: none of its own; the caller's thread drives the channels, one query at a time.

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "data/bundles/synthesis/record_channels.hpp"
#include "domain/cancellation.hpp"
#include "json/json.hpp"

namespace ambrel::data::bundles::synthesis {

// The most values one IN list of a record query holds.
inline constexpr std::size_t kMaxInListValues = 200;

// Called with the rows of each chunk's answer; it may take the rows over.
using ChunkRows = std::function<void(std::vector<json::Object>& rows)>;

// One query sent for every chunk: its text around the IN list, and what takes its rows.
struct ChunkQuery {
    std::string before;
    std::string after;
    ChunkRows on_rows;
};

ChannelResult<void> query_in_chunks(RecordChannels& channels, std::string_view org, std::string_view before,
                                    std::span<const std::string> values, std::string_view after,
                                    const domain::CancellationToken& token, const ChunkRows& on_rows);

// Several queries per chunk: for each chunk in turn, every query of `queries` in their order.
ChannelResult<void> query_in_chunks(RecordChannels& channels, std::string_view org,
                                    std::span<const std::string> values, std::span<const ChunkQuery> queries,
                                    const domain::CancellationToken& token);

}  // namespace ambrel::data::bundles::synthesis
