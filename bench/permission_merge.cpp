// Strict reading and merging of a large Profile: 10,000 fieldPermissions blocks plus object, class
// and tab blocks (about 3 MB; /2 doubles it), with 2,000 selected fields that are replaced, inserted
// and removed, in ADDITIVE and ALL mode. The reference is a plain pull-parse of the same bytes that
// touches every event (ReferencePullParse parses source and target, ReferencePullParseTarget the
// target alone). Targets: the strict read of source and target costs no more than 3x its reference,
// a merge (read the target, change, serialise) no more than 4x the target's reference, and both
// ratios stay flat when the profile doubles.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "domain/fls.hpp"
#include "metadata/permission_merger/permission_merger.hpp"
#include "metadata/permission_models/permission_models.hpp"
#include "metadata/permission_reader/permission_reader.hpp"
#include "xml/xml.hpp"

namespace {

using ambrel::domain::FlsContainerKind;
using ambrel::domain::FlsMode;
using ambrel::metadata::permission_models::PermissionComponentKey;
using ambrel::metadata::permission_models::PermissionMetadataComponent;

constexpr int kFields = 10'000;
constexpr int kChanged = 700;
constexpr int kInserted = 700;
constexpr int kRemovedFrom = 1400;
constexpr int kRemovedTo = 2000;

// Names padded to one width, so that blocks stand in name order as the org writes them.
std::string numbered(char letter, int number) {
    std::string digits = std::to_string(number);
    return letter + std::string(6 - digits.size(), '0') + digits + "__c";
}

std::string field_block(const std::string& field, bool editable) {
    return "    <fieldPermissions>\n        <editable>" + std::string(editable ? "true" : "false") +
           "</editable>\n        <field>Account." + field + "</field>\n        <readable>true</readable>\n"
           "    </fieldPermissions>\n";
}

// A profile laid out as the corpus writes them: classes, fields, objects, tabs, licence.
std::string profile(int fields, bool source) {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Profile xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n";
    for (int i = 0; i < fields / 20; ++i) {
        text += "    <classAccesses>\n        <apexClass>Class" + std::to_string(i) + "</apexClass>\n        <enabled>true</enabled>\n    </classAccesses>\n";
    }
    text += "    <custom>false</custom>\n";
    for (int i = 0; i < fields; ++i) {
        if (source && i >= kRemovedFrom && i < kRemovedTo) continue;
        text += field_block(numbered('F', i), source && i < kChanged);
    }
    if (source) {
        for (int i = 0; i < kInserted; ++i) text += field_block(numbered('N', i), true);
    }
    for (int i = 0; i < fields / 20; ++i) {
        text += "    <objectPermissions>\n        <allowCreate>true</allowCreate>\n        <allowDelete>false</allowDelete>\n"
                "        <allowEdit>true</allowEdit>\n        <allowRead>true</allowRead>\n        <modifyAllRecords>false</modifyAllRecords>\n"
                "        <object>Object" + std::to_string(i) + "__c</object>\n        <viewAllFields>false</viewAllFields>\n"
                "        <viewAllRecords>false</viewAllRecords>\n    </objectPermissions>\n";
    }
    for (int i = 0; i < fields / 20; ++i) {
        text += "    <tabVisibilities>\n        <tab>Tab" + std::to_string(i) + "__c</tab>\n        <visibility>DefaultOn</visibility>\n    </tabVisibilities>\n";
    }
    text += "    <userLicense>Salesforce</userLicense>\n</Profile>\n";
    return text;
}

ambrel::domain::SelectedPermissions selection() {
    ambrel::domain::SelectedPermissions selected;
    const auto add = [&](const std::string& name) {
        ambrel::domain::CustomFieldDefinition definition;
        definition.key = {"Account", name};
        selected.fields.emplace(definition.key, definition);
    };
    for (int i = 0; i < kChanged; ++i) add(numbered('F', i));
    for (int i = 0; i < kInserted; ++i) add(numbered('N', i));
    for (int i = kRemovedFrom; i < kRemovedTo; ++i) add(numbered('F', i));
    return selected;
}

struct Documents {
    explicit Documents(int scale) : source(profile(kFields * scale, true)), target(profile(kFields * scale, false)) {}
    std::string source;
    std::string target;
};

const Documents& documents(int scale) {
    static const Documents one(1);
    static const Documents two(2);
    return scale == 1 ? one : two;
}

PermissionComponentKey key() { return PermissionComponentKey::create(FlsContainerKind::Profile, "Admin"); }

std::size_t pull_parse(const std::string& text) {
    ambrel::xml::Reader reader(text);
    std::size_t touched = 0;
    for (;;) {
        auto event = reader.next();
        if (!event || event->kind == ambrel::xml::EventKind::Eof) break;
        touched += event->raw.size();
        if (event->kind == ambrel::xml::EventKind::Start) touched += reader.resolve_element(*event).uri.size();
    }
    return touched;
}

void ReferencePullParse(benchmark::State& state) {
    const auto& docs = documents(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(pull_parse(docs.source));
        benchmark::DoNotOptimize(pull_parse(docs.target));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * (docs.source.size() + docs.target.size())));
}

void ReferencePullParseTarget(benchmark::State& state) {
    const auto& docs = documents(static_cast<int>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(pull_parse(docs.target));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * docs.target.size()));
}

void StrictRead(benchmark::State& state) {
    const auto& docs = documents(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        auto source = ambrel::metadata::permission_reader::parse_permission_metadata(docs.source, key());
        auto target = ambrel::metadata::permission_reader::parse_permission_metadata(docs.target, key());
        if (!source || !target) state.SkipWithError("documents do not read");
        benchmark::DoNotOptimize(source);
        benchmark::DoNotOptimize(target);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * (docs.source.size() + docs.target.size())));
}

void Merge(benchmark::State& state, FlsMode mode) {
    const auto& docs = documents(static_cast<int>(state.range(0)));
    const PermissionMetadataComponent source{key(), {}, docs.source,
                                             *ambrel::metadata::permission_reader::parse_permission_metadata(docs.source, key())};
    const PermissionMetadataComponent target{key(), {}, docs.target,
                                             *ambrel::metadata::permission_reader::parse_permission_metadata(docs.target, key())};
    const auto selected = selection();
    const ambrel::metadata::permission_merger::PermissionMetadataMerger merger;
    for (auto _ : state) {
        auto merged = merger.merge(source, target, selected, mode);
        if (!merged || !merged->component) state.SkipWithError("merge made no document");
        benchmark::DoNotOptimize(merged);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * docs.target.size()));
}

void MergeAdditive(benchmark::State& state) { Merge(state, FlsMode::Additive); }
void MergeAll(benchmark::State& state) { Merge(state, FlsMode::All); }

BENCHMARK(ReferencePullParse)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(StrictRead)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(ReferencePullParseTarget)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(MergeAdditive)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(MergeAll)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
