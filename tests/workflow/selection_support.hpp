#pragma once

// Drivers for the selection-side commands: listed orgs and members, a selection screen set up in one
// call, a recording endpoint memory, and a harness whose controller uses a given endpoint memory.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "endpoint_memory/endpoint_memory.hpp"
#include "harness.hpp"

namespace ambrel::workflow::testing {

inline endpoint::OrgAlias listed_org(const std::string& alias) { return org(alias).org()->org; }

inline std::vector<endpoint::OrgAlias> listed_orgs(const std::vector<std::string>& aliases) {
    std::vector<endpoint::OrgAlias> orgs;
    for (const auto& alias : aliases) orgs.push_back(listed_org(alias));
    return orgs;
}

inline cli::catalogs::SalesforceObject member(std::string name) {
    cli::catalogs::SalesforceObject object;
    object.api_name = std::move(name);
    object.label = object.api_name;
    return object;
}

inline std::vector<cli::catalogs::SalesforceObject> members(const std::vector<std::string>& names) {
    std::vector<cli::catalogs::SalesforceObject> objects;
    for (const auto& name : names) objects.push_back(member(name));
    return objects;
}

inline endpoint::DeployEndpoint git_endpoint(std::string repository = "/repos/app", std::string branch = "main") {
    endpoint::DeployEndpoint::Git git;
    git.repository = std::move(repository);
    git.branch.name = std::move(branch);
    return endpoint::DeployEndpoint{std::move(git)};
}

inline metadata_types::ListingStrategy strategy_of(metadata_types::MetadataType type) {
    return type.descriptor().listing_strategy;
}

// An endpoint memory that records what it is told and answers a scripted recall.
class RecordingMemory final : public endpoint_memory::EndpointMemory {
public:
    endpoint_memory::RememberedEndpoints recall() const override {
        std::lock_guard lock(mutex_);
        ++recalls_;
        return answer_;
    }
    endpoint_memory::RememberOutcome remember(const endpoint_memory::RememberedEndpoints& remembered) const override {
        std::lock_guard lock(mutex_);
        written_.push_back(remembered);
        return {true, std::nullopt};
    }
    void answer(endpoint_memory::RememberedEndpoints remembered) {
        std::lock_guard lock(mutex_);
        answer_ = std::move(remembered);
    }
    std::vector<endpoint_memory::RememberedEndpoints> written() const {
        std::lock_guard lock(mutex_);
        return written_;
    }
    int recalls() const {
        std::lock_guard lock(mutex_);
        return recalls_;
    }

private:
    mutable std::mutex mutex_;
    endpoint_memory::RememberedEndpoints answer_;
    mutable std::vector<endpoint_memory::RememberedEndpoints> written_;
    mutable int recalls_ = 0;
};

// Rebuilds the harness's controller over the same fakes with the endpoint memory.
inline void use_memory(Harness& h, std::shared_ptr<const endpoint_memory::EndpointMemory> memory) {
    h.controller.emplace(WorkflowControllerBuilder(h.use_cases, h.background, h.ui)
                             .cleanup(h.cleanup)
                             .log(logging::LogSink::create(h.log_writer, logging::LogLevel::Standard))
                             .cli_cache(h.cache)
                             .progress(h.progress)
                             .fallback_for_testing(h.fallback)
                             .endpoint_memory(std::move(memory))
                             .build());
    (void)h.controller->add_state_listener([seen = h.seen](const StateSnapshot& snapshot) {
        Seen entry;
        entry.state = nullptr;
        entry.kind = kind_name(snapshot.state);
        if (snapshot.active_operation) entry.active_operation = std::string(*snapshot.active_operation);
        entry.operation_id = snapshot.operation_id;
        seen->push_back(std::move(entry));
    });
}

// Edits the state under the lock, then shows the selection screen built from it (unpublished).
inline void show_selecting(Harness& h, const std::function<void(State&)>& edit = {}) {
    auto guard = h.inner().lock();
    State& state = h.inner().state(guard);
    if (edit) edit(state);
    (void)state_publication_locked(state, selecting_state(state, std::nullopt, std::nullopt, nullptr));
}

// Reads the state under the lock.
template <class F>
auto with_state(Harness& h, F read) {
    auto guard = h.inner().lock();
    return read(h.inner().state(guard));
}

inline const SelectingState& as_selecting(const WorkflowState& state) {
    const auto* selecting = std::get_if<SelectingState>(&state);
    if (selecting == nullptr) throw std::logic_error("not the selection screen: " + kind_name(state));
    return *selecting;
}

inline std::vector<std::string> names_of(const std::vector<cli::catalogs::SalesforceObject>& objects) {
    std::vector<std::string> names;
    for (const auto& object : objects) names.push_back(object.api_name);
    return names;
}

inline std::vector<std::string> kinds_seen(const Harness& h) {
    std::vector<std::string> kinds;
    for (const auto& seen : *h.seen) kinds.push_back(seen.kind);
    return kinds;
}

}  // namespace ambrel::workflow::testing
