#include "app/expansion_loop.hpp"

#include <array>
#include <map>
#include <span>
#include <utility>
#include <variant>

#include <fmt/format.h>

#include "app/compare_steps.hpp"
#include "app/dependency_additions/context_additions.hpp"
#include "app/dependency_additions/custom_field_additions.hpp"
#include "app/dependency_additions/layout_additions.hpp"
#include "app/dependency_additions/object_additions.hpp"
#include "app/dependency_additions/pricing_additions.hpp"
#include "support/programming_error.hpp"

namespace ambrel::app {

namespace {

using domain::ComponentKey;
using domain::MetadataComponent;
using metadata_types::MetadataType;

constexpr std::string_view kContextDefinition = "ContextDefinition";
constexpr std::string_view kPermissionSetGroup = "PermissionSetGroup";
constexpr std::string_view kDecisionTable = "DecisionTable";
constexpr std::string_view kExpressionSetDefinition = "ExpressionSetDefinition";
constexpr std::string_view kExpressionSetDefinitionVersion = "ExpressionSetDefinitionVersion";
constexpr std::string_view kCustomMetadata = "CustomMetadata";
constexpr std::string_view kPricingRecipe = "PricingRecipe";
constexpr std::string_view kDecisionTableDatasetLink = "DecisionTableDatasetLink";

// The document lists a pass fills, by the rules that read them.
enum DocumentList : std::size_t {
    kLayouts,
    kContextDefinitions,
    kPermissionSetGroups,
    kDecisionTables,
    kExpressionSets,
    kCustomMetadataRecords,
    kPricingRecipes,
    kDatasetLinks,
    kCustomFields,
    kDocumentListCount,
};

using Documents = std::array<std::vector<MetadataComponent>, kDocumentListCount>;

// Which list each type's components go into; looked up once per loop.
std::map<MetadataType, DocumentList> document_list_types() {
    std::map<MetadataType, DocumentList> lists;
    lists.emplace(MetadataType::Layout, kLayouts);
    lists.emplace(MetadataType::CustomField, kCustomFields);
    const auto add = [&lists](std::string_view wire_id, DocumentList list) {
        if (const auto type = metadata_types::metadata_type_by_wire_id(wire_id)) lists.emplace(*type, list);
    };
    add(kContextDefinition, kContextDefinitions);
    add(kPermissionSetGroup, kPermissionSetGroups);
    add(kDecisionTable, kDecisionTables);
    for (const MetadataType type : expression_set_types()) lists.emplace(type, kExpressionSets);
    add(kCustomMetadata, kCustomMetadataRecords);
    add(kPricingRecipe, kPricingRecipes);
    add(kDecisionTableDatasetLink, kDatasetLinks);
    return lists;
}

// The additions of one pass: each key once, at its first place.
class Additions {
public:
    void append(std::vector<ComponentKey> keys) {
        for (ComponentKey& key : keys) {
            if (seen_.insert(key).second) ordered_.push_back(std::move(key));
        }
    }
    bool empty() const noexcept { return ordered_.empty(); }
    const std::vector<ComponentKey>& keys() const noexcept { return ordered_; }

private:
    std::set<ComponentKey> seen_;
    std::vector<ComponentKey> ordered_;
};

void append_document_rules(Additions& additions, const Documents& documents, const CompareSelection& working,
                           dependency::WarningList& warnings) {
    const auto docs = [&documents](DocumentList list) { return std::span<const MetadataComponent>(documents[list]); };
    additions.append(layout_field_additions(docs(kLayouts), working));
    additions.append(context_definition_additions(docs(kContextDefinitions), working, warnings));
    additions.append(permission_set_group_additions(docs(kPermissionSetGroups), working, warnings));
    additions.append(global_value_set_additions(docs(kCustomFields), working, warnings));
    additions.append(decision_table_additions(docs(kDecisionTables), working, warnings));
    additions.append(lookup_field_additions(docs(kCustomFields), working, warnings));
    additions.append(rollup_field_additions(docs(kCustomFields), working, warnings));
    additions.append(expression_set_additions(docs(kExpressionSets), working, warnings));
    additions.append(custom_metadata_record_additions(docs(kCustomMetadataRecords), working, warnings));
    additions.append(pricing_recipe_additions(docs(kPricingRecipes), working, warnings));
    additions.append(dataset_link_additions(docs(kDatasetLinks), working, warnings));
}

}  // namespace

std::vector<MetadataType> expression_set_types() {
    std::vector<MetadataType> types;
    for (const std::string_view wire_id : {kExpressionSetDefinition, kExpressionSetDefinitionVersion}) {
        if (const auto type = metadata_types::metadata_type_by_wire_id(wire_id)) types.push_back(*type);
    }
    return types;
}

void merge_analysis(std::optional<dependency::DependencyGraph>& accumulated, dependency::DependencyGraph pass_graph) {
    if (!accumulated) {
        accumulated = std::move(pass_graph);
        return;
    }
    for (auto& [key, required] : pass_graph.edges) accumulated->edges[key].merge(required);
    for (auto& [key, references] : pass_graph.unresolved) {
        std::vector<dependency::UnresolvedDependency>& into = accumulated->unresolved[key];
        for (dependency::UnresolvedDependency& reference : references) {
            bool known = false;
            for (const dependency::UnresolvedDependency& existing : into) {
                if (existing == reference) {
                    known = true;
                    break;
                }
            }
            if (!known) into.push_back(std::move(reference));
        }
    }
}

std::expected<ExpansionOutcome, WorkflowFailure> run_dependency_expansion(
    const ports::CorePorts& core, const ExpansionSettings& settings, const CompareSelection& requested,
    CompareSelection& working, dependency::WarningList& warnings, std::optional<dependency::DependencyGraph>& graph,
    const domain::CancellationToken& token) {
    const std::map<MetadataType, DocumentList> lists = document_list_types();
    std::optional<RetrieveContinuation> continuation;
    std::set<ComponentKey> previous_read;
    // Keys a discovery call has answered for with a graph; a disabled discovery answers for none.
    std::set<ComponentKey> discovered;
    bool first_pass = true;
    std::size_t widenings = 0;

    for (;;) {
        if (token.is_cancelled()) return std::unexpected(close_continuation(continuation, WorkflowFailure::cancelled()));

        CompareSelection manifest = settings.manifest_of(working);
        const std::set<std::string> object_names = settings.object_names_of(working);
        auto retrieved = core.metadata_retrieval(settings.source_org, settings.target_org, manifest, object_names,
                                                 continuation ? &*continuation : nullptr,
                                                 metadata::retrieve::RetrieveScope::Source, settings.api_version, token);
        if (!retrieved) return std::unexpected(close_continuation(continuation, std::move(retrieved.error())));
        RetrievedWorkspace pass = std::move(*retrieved);
        support::require(pass.workspace != nullptr, "a retrieve answers with the compare's workspace");
        const auto fail = [&pass](WorkflowFailure failure) {
            return std::unexpected(close_preserving_workspace(pass.workspace, std::move(failure)));
        };
        const std::filesystem::path source_folder = pass.workspace->source_project() / kProjectMetadataFolder;

        // Read every selected type; only what no earlier pass read goes on to the rules, and only
        // what no discovery has answered for goes to discovery.
        Documents documents;
        std::set<ComponentKey> read_keys;
        std::vector<ComponentKey> undiscovered;
        for (const auto& [type, names] : working) {
            const metadata_types::TypeDescriptor& descriptor = type.descriptor();
            auto components = core.component_reading(type, source_folder);
            if (!components) return fail(std::move(components.error()));
            const auto list = lists.find(type);
            for (MetadataComponent& component : read_selected(std::move(*components), descriptor, names)) {
                read_keys.insert(component.key);
                if (!discovered.contains(component.key)) undiscovered.push_back(component.key);
                if (previous_read.contains(component.key)) continue;
                if (list != lists.end()) documents[list->second].push_back(std::move(component));
            }
        }
        if (!first_pass) {
            for (const ComponentKey& key : previous_read) {
                if (!read_keys.contains(key)) return fail(WorkflowFailure::operation(kIncrementalRetrieveLostMessage));
            }
        }
        previous_read = std::move(read_keys);

        std::optional<ports::DependencyDiscovery> discovery;
        if (!undiscovered.empty()) {
            auto answered = core.dependency_discovery(settings.discovery_org, undiscovered, token);
            if (!answered) return fail(std::move(answered.error()));
            discovery = std::move(*answered);
            // A disabled discovery (a time-out, a failed query) may answer in a later pass.
            if (std::holds_alternative<dependency::DependencyGraph>(*discovery)) {
                discovered.insert(undiscovered.begin(), undiscovered.end());
            }
        }

        Additions additions;
        append_document_rules(additions, documents, working, warnings);
        additions.append(object_child_additions(requested, working, settings.target_object_names));
        if (discovery) {
            if (auto* pass_graph = std::get_if<dependency::DependencyGraph>(&*discovery)) {
                for (std::string& warning : pass_graph->warnings) dependency::push_warning(warnings, std::move(warning));
                pass_graph->warnings.clear();
                additions.append(dependency_additions(*pass_graph, working));
                merge_analysis(graph, std::move(*pass_graph));
            } else {
                dependency::push_warning(warnings, std::get<ports::DiscoveryDisabled>(*discovery).reason);
            }
        }

        if (additions.empty()) return ExpansionOutcome{std::move(pass), widenings, ExpansionStop::NothingNew};
        if (widenings == kMaxWidenings) {
            dependency::push_warning(warnings, fmt::format(fmt::runtime(kExpansionStoppedFormat), kMaxWidenings));
            return ExpansionOutcome{std::move(pass), widenings, ExpansionStop::WideningLimit};
        }
        ++widenings;
        for (const ComponentKey& key : additions.keys()) working[key.metadata_type].insert(key.name);

        if (token.is_cancelled()) return fail(WorkflowFailure::cancelled());
        continuation = RetrieveContinuation{pass.workspace, std::move(manifest)};
        first_pass = false;
    }
}

}  // namespace ambrel::app
