#include "app/deploy_passes.hpp"

#include "app/deploy_details.hpp"

namespace ambrel::app {

void apply_pass(const RowNotes& notes, const FailedResults& failed, deployment::DeploymentSummary& summary) {
    if (!notes.empty()) {
        for (auto& result : summary.component_results) {
            if (auto note = notes.find(result.key); note != notes.end()) append_row_note(result.message, note->second);
        }
    }
    summary.component_results.insert(summary.component_results.end(), failed.begin(), failed.end());
}

void RetriedRows::add_notes(const RowNotes& pass_notes) {
    for (const auto& [key, note] : pass_notes) append_row_note(notes[key], note);
}

void RetriedRows::record(const domain::ComponentKey& key, std::string document, std::string row_notes) {
    documents.insert_or_assign(key, std::move(document));
    notes.insert_or_assign(key, std::move(row_notes));
}

MessageSnapshot message_snapshot(const std::vector<domain::ComponentDeploymentResult>& results) {
    MessageSnapshot snapshot;
    for (const auto& result : results) snapshot.insert_or_assign(result.key, result.message);
    return snapshot;
}

const MessageSnapshot& MessageSnapshots::take(const std::vector<domain::ComponentDeploymentResult>& results) {
    if (entries_.empty() || results.size() < entries_.size()) {
        rebuild(results);
        return snapshot_;
    }
    // Assigning in result order keeps the later result's message for a key that appears twice.
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (entries_[i]->first != results[i].key) {
            rebuild(results);
            return snapshot_;
        }
        if (entries_[i]->second != results[i].message) entries_[i]->second = results[i].message;
    }
    for (std::size_t i = entries_.size(); i < results.size(); ++i)
        entries_.push_back(snapshot_.insert_or_assign(results[i].key, results[i].message).first);
    return snapshot_;
}

void MessageSnapshots::rebuild(const std::vector<domain::ComponentDeploymentResult>& results) {
    snapshot_.clear();
    entries_.clear();
    entries_.reserve(results.size());
    for (const auto& result : results) entries_.push_back(snapshot_.insert_or_assign(result.key, result.message).first);
}

}  // namespace ambrel::app
