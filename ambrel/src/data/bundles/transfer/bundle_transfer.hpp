#pragma once

// The bundle record transfer (`transfer_bundles`): copies the records of the chosen product bundle
// documents (classifications, products, groups, related components, selling model options, price
// book entries) from the source org into the target org. It plans the records, reads both orgs'
// schemas, the target's catalogues and the existing records of both sides, then walks the plan batch
// by batch (layer, then chain depth), decides every record, and sends the batch's creates and then
// its updates in composite requests of at most 200 records, feeding the Ids of created records to
// later batches. The result is one report row per document, in row name order (`summarize`).
//
// Not transactional: records already written stay written when a later request fails or the work is
// cancelled. A document that does not parse is a failed row "The bundle document could not be read:
// {}."; a request that fails as a whole fails each of its records with the request's text; a record
// the target refuses fails with "{statusCode}: {message}" or "the target refused the record without
// naming a reason"; a create answered without Id fails with "the target accepted the record without
// returning its id". When every outcome of an answer of two or more fails with
// INVALID_CROSS_REFERENCE_KEY, each message gains "; the target rolled the whole batch of {} records
// back over this code, so the missing reference may belong to another record of the batch". An answer
// whose outcome count differs from the records sent is never read: each record of that request fails
// with "The record request was answered with an unexpected body: the response carries {} outcomes for
// {} records.". Only a failed read (before any write) ends the transfer with that read's error; a
// cancellation ends it with the absent error and no rows.
//
// Progress: the batch's sObject API name, once per batch before deciding it; the reads report nothing.
// The token is read before every composite request and nowhere else; the reads and requests get it too.
//
// Borrows the channels and the request for the call only; keeps nothing; runs on the caller's thread,
// one channel call at a time.

#include <functional>
#include <string_view>
#include <vector>

#include "app/ports/bundle.hpp"
#include "data/bundles/synthesis/record_channels.hpp"
#include "data/bundles/transfer/summary.hpp"
#include "domain/cancellation.hpp"

namespace ambrel::data::bundles::transfer {

inline constexpr std::string_view kUnreadableDocument = "The bundle document could not be read: {}.";
inline constexpr std::string_view kUnexpectedBody = "The record request was answered with an unexpected body: {}.";
inline constexpr std::string_view kRefusedWithoutReason = "the target refused the record without naming a reason";
inline constexpr std::string_view kAcceptedWithoutId = "the target accepted the record without returning its id";
inline constexpr std::string_view kRollbackCode = "INVALID_CROSS_REFERENCE_KEY";
inline constexpr std::string_view kRollbackNote =
    "; the target rolled the whole batch of {} records back over this code, so the missing reference may belong to "
    "another record of the batch";

// The rows of the transfer in row name order, or the error that ended it (absent message: cancelled).
synthesis::ChannelResult<std::vector<RowOutcome>> transfer_bundles(synthesis::RecordChannels& channels,
                                                                   const app::ports::RecordDeployRequest& request,
                                                                   const std::function<void(std::string_view)>& progress,
                                                                   const domain::CancellationToken& token);

}  // namespace ambrel::data::bundles::transfer
