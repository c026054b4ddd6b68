// The pre-deploy adaptation of one large Profile: a generated document of 10,000 blocks across the
// thirteen permission sections (about 3 MB, with user permissions besides), checked against a
// 20,000-pair object-field listing and eight listed kinds, then filtered of its unknown user
// permissions and of 2,000 unknown references (as the deploy does it: one reading of the document
// for both filters), beside a plain pull-parse of the same bytes in the same run
// (BM_ReferencePullParse). Target: the adaptation takes at most 4 times the pull-parse, and
// the ratio stays flat when the profile and the listing double (argument 2).

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "app/profile_adaptation.hpp"
#include "metadata/profile_reference_filter/profile_reference_filter.hpp"
#include "metadata/user_permission_filter/user_permission_filter.hpp"
#include "xml/xml.hpp"

namespace {

namespace prf = ambrel::metadata::profile_reference_filter;
namespace upf = ambrel::metadata::user_permission_filter;
using prf::ReferenceKind;

constexpr int kBlocks = 10'000;
constexpr int kListedPairs = 20'000;
constexpr int kUserPermissions = 400;
// One block in five names a component the target does not have.
constexpr int kUnknownEvery = 5;

struct Section {
    const char* element;
    const char* child;
    ReferenceKind kind;
};

constexpr Section kSections[] = {
    {"fieldPermissions", "field", ReferenceKind::Field},
    {"objectPermissions", "object", ReferenceKind::Object},
    {"classAccesses", "apexClass", ReferenceKind::ApexClass},
    {"pageAccesses", "apexPage", ReferenceKind::ApexPage},
    {"tabVisibilities", "tab", ReferenceKind::Tab},
    {"tabSettings", "tab", ReferenceKind::Tab},
    {"recordTypeVisibilities", "recordType", ReferenceKind::RecordType},
    {"layoutAssignments", "layout", ReferenceKind::Layout},
    {"applicationVisibilities", "application", ReferenceKind::Application},
    {"customPermissions", "name", ReferenceKind::CustomPermission},
    {"flowAccesses", "flow", ReferenceKind::Flow},
    {"customMetadataTypeAccesses", "name", ReferenceKind::CustomMetadataType},
    {"customSettingAccesses", "name", ReferenceKind::CustomSetting},
};

std::string name_of(ReferenceKind kind, int i) {
    switch (kind) {
        case ReferenceKind::Field: return "Obj" + std::to_string(i % 97) + "__c.Field" + std::to_string(i) + "__c";
        case ReferenceKind::Object:
        case ReferenceKind::CustomMetadataType:
        case ReferenceKind::CustomSetting: return "Object" + std::to_string(i) + "__c";
        case ReferenceKind::Layout: return "Account-Layout " + std::to_string(i);
        case ReferenceKind::RecordType: return "Account.Type" + std::to_string(i);
        default: return "Component" + std::to_string(i);
    }
}

struct Workload {
    std::string document;
    ambrel::cli::SchemaListing schema;
    std::map<ReferenceKind, std::set<std::string>> listed;
    std::set<std::string> source_only_permissions;
};

const Workload& workload(int scale) {
    static std::map<int, Workload> cache;
    auto found = cache.find(scale);
    if (found != cache.end()) return found->second;
    Workload w;
    const int blocks = kBlocks * scale;
    const std::string padding(150, 'x');
    w.document = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Profile xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n";
    for (int i = 0; i < blocks; ++i) {
        const Section& section = kSections[i % 13];
        const std::string name = name_of(section.kind, i);
        w.document += std::string("    <") + section.element + ">\n        <" + section.child + ">" + name + "</" +
                      section.child + ">\n        <enabled>true</enabled>\n        <description>" + padding +
                      "</description>\n    </" + section.element + ">\n";
        if (i % kUnknownEvery == 0) continue;
        switch (section.kind) {
            case ReferenceKind::Field: {
                const auto dot = name.find('.');
                w.schema.fields.emplace(name.substr(0, dot), name.substr(dot + 1));
                break;
            }
            case ReferenceKind::Object:
            case ReferenceKind::CustomMetadataType:
            case ReferenceKind::CustomSetting: w.schema.objects.insert(name); break;
            default: w.listed[section.kind].insert(name); break;
        }
    }
    for (int i = 0; i < kUserPermissions * scale; ++i) {
        const std::string name = "Permission" + std::to_string(i);
        w.document += "    <userPermissions>\n        <enabled>true</enabled>\n        <name>" + name +
                      "</name>\n    </userPermissions>\n";
        if (i % 4 == 0) w.source_only_permissions.insert(name);
    }
    w.document += "</Profile>\n";
    for (int i = 0; static_cast<int>(w.schema.fields.size()) < kListedPairs * scale; ++i) {
        w.schema.fields.emplace("Other" + std::to_string(i % 300) + "__c", "Pad" + std::to_string(i) + "__c");
    }
    for (int kind = 2; kind <= 9; ++kind) w.listed[static_cast<ReferenceKind>(kind)];
    return cache.emplace(scale, std::move(w)).first->second;
}

void BM_ReferencePullParse(benchmark::State& state) {
    const Workload& w = workload(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        ambrel::xml::Reader reader(w.document);
        std::size_t elements = 0;
        for (;;) {
            auto event = reader.next();
            if (!event || event->kind == ambrel::xml::EventKind::Eof) break;
            if (event->kind == ambrel::xml::EventKind::Start) {
                elements += reader.resolve_element(*event).uri.size() > 0 ? 1 : 0;
            }
        }
        benchmark::DoNotOptimize(elements);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(w.document.size()));
}

// What the deploy's profile adaptation does with one row: one reading that serves both filters,
// the row's names and references, the index of the listing, the check, and the two cuts, made where
// the row holds its document (here a buffer that takes a fresh copy of the profile each time).
void BM_ProfileAdaptation(benchmark::State& state) {
    const Workload& w = workload(static_cast<int>(state.range(0)));
    std::string row_document;
    std::size_t changed = 0;
    for (auto _ : state) {
        row_document.assign(w.document);
        auto reading = ambrel::app::read_permission_document(row_document);
        const auto names = upf::names_of(*reading.permissions);
        const auto references = prf::references_of(*reading.sections);
        const ambrel::app::SchemaIndex index(w.schema);
        const auto unknown = ambrel::app::unknown_references(references, index, w.listed, {});
        std::set<std::string> leave;
        for (const std::string& name : names) {
            if (w.source_only_permissions.contains(name)) leave.insert(name);
        }
        const auto adapted =
            ambrel::app::adapt_permission_document(row_document, *reading.permissions, *reading.sections, leave, unknown);
        changed = w.document.size() - row_document.size();
        benchmark::DoNotOptimize(adapted.changed);
        benchmark::DoNotOptimize(row_document.data());
    }
    state.counters["bytes_cut"] = static_cast<double>(changed);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(w.document.size()));
}

}  // namespace

BENCHMARK(BM_ReferencePullParse)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ProfileAdaptation)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
