// Package manifests: rendering a large selection, parsing a 5 MiB package.xml and mapping its
// sections, each beside a reference measured in the same run.
//
// Targets: render_types of 100,000 members over 150 types within 3x of appending the same
// pre-escaped lines to one string (BM_ReferenceAppendLines); parse_package_xml of a 5 MiB manifest
// within 3x of our XML reader walking the same bytes (BM_ReferenceXmlWalk); map_manifest_sections of
// its members within 2x of inserting the same member texts into one std::set (BM_ReferenceSetInsert).

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include "metadata/manifest/package_manifest_writer.hpp"
#include "metadata/manifest_reader/manifest_reader.hpp"
#include "metadata_types/metadata_type.hpp"
#include "xml/xml.hpp"

namespace {

using ambrel::metadata::manifest::PackageManifestWriter;
using ambrel::metadata::manifest::TypeSelection;
using ambrel::metadata_types::MetadataType;
namespace manifest_reader = ambrel::metadata::manifest_reader;

constexpr std::size_t kMembers = 100'000;
constexpr std::size_t kTypes = 150;
constexpr std::size_t kManifestBytes = 5 * 1024 * 1024;

// 150 types: the four that share "CustomObject" and 146 registry rows; a few names need escaping.
const TypeSelection& selection() {
    static const TypeSelection value = [] {
        std::vector<MetadataType> types{MetadataType::CustomField, MetadataType::CustomObject,
                                        MetadataType::CustomMetadataType, MetadataType::PlatformEvent};
        for (std::size_t i = 0; types.size() < kTypes; ++i) types.push_back(MetadataType::Generic(i));
        TypeSelection result;
        // Filled one type at a time, as the selection screen and the manifest import fill it.
        for (std::size_t i = 0; i < kMembers; ++i) {
            const MetadataType type = types[i * types.size() / kMembers];
            result[type].insert(i % 97 == 0 ? fmt::format("Member_{:06}_R&D__c", i) : fmt::format("Member_{:06}__c", i));
        }
        return result;
    }();
    return value;
}

// The lines of the rendered text, escaped already.
const std::vector<std::string>& rendered_lines() {
    static const std::vector<std::string> lines = [] {
        const std::string text = PackageManifestWriter("65.0").render_types(selection());
        std::vector<std::string> result;
        std::size_t start = 0;
        while (start < text.size()) {
            const std::size_t end = text.find('\n', start);
            result.push_back(text.substr(start, end + 1 - start));
            start = end + 1;
        }
        return result;
    }();
    return lines;
}

std::size_t rendered_bytes() {
    std::size_t bytes = 0;
    for (const std::string& line : rendered_lines()) bytes += line.size();
    return bytes;
}

void BM_ReferenceAppendLines(benchmark::State& state) {
    const auto& lines = rendered_lines();
    const std::size_t bytes = rendered_bytes();
    for (auto _ : state) {
        std::string out;
        out.reserve(bytes);
        for (const std::string& line : lines) out += line;
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * rendered_bytes()));
}
BENCHMARK(BM_ReferenceAppendLines)->Unit(benchmark::kMillisecond);

void BM_RenderTypes(benchmark::State& state) {
    const PackageManifestWriter writer("65.0");
    const auto& value = selection();
    for (auto _ : state) {
        std::string out = writer.render_types(value);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * rendered_bytes()));
}
BENCHMARK(BM_RenderTypes)->Unit(benchmark::kMillisecond);

// Only walking the names of the selection's sets and touching their bytes, the floor under any
// rendering of them: the tree nodes and the names' own buffers cost more than copying finished lines.
void BM_WalkSelectionSets(benchmark::State& state) {
    const auto& value = selection();
    for (auto _ : state) {
        std::size_t bytes = 0;
        for (const auto& [type, names] : value) {
            for (const std::string& name : names) bytes += name.size() + static_cast<unsigned char>(name.back());
        }
        benchmark::DoNotOptimize(bytes);
    }
}
BENCHMARK(BM_WalkSelectionSets)->Unit(benchmark::kMillisecond);

// A manifest of about 5 MiB: sections of registry types, 50 members each.
const std::string& large_manifest() {
    static const std::string text = [] {
        TypeSelection value;
        std::size_t bytes = 0;
        for (std::size_t i = 0; bytes < kManifestBytes - 4096; ++i) {
            const std::string name = fmt::format("Component_{:07}", i);
            bytes += name.size() + 29;
            value[MetadataType::Generic((i / 50) % 140)].insert(name);
        }
        return PackageManifestWriter("65.0").render_types(value);
    }();
    return text;
}

const manifest_reader::ParsedManifest& parsed_manifest() {
    static const manifest_reader::ParsedManifest parsed = *manifest_reader::parse_package_xml(large_manifest());
    return parsed;
}

std::size_t member_bytes() {
    std::size_t bytes = 0;
    for (const auto& section : parsed_manifest().sections) {
        for (const std::string& member : section.members) bytes += member.size();
    }
    return bytes;
}

void BM_ReferenceXmlWalk(benchmark::State& state) {
    const std::string& text = large_manifest();
    for (auto _ : state) {
        ambrel::xml::Reader reader(text);
        std::size_t events = 0;
        while (true) {
            const auto event = reader.next();
            if (!event || event->kind == ambrel::xml::EventKind::Eof) break;
            ++events;
        }
        benchmark::DoNotOptimize(events);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ReferenceXmlWalk)->Unit(benchmark::kMillisecond);

void BM_ParsePackageXml(benchmark::State& state) {
    const std::string& text = large_manifest();
    for (auto _ : state) {
        auto parsed = manifest_reader::parse_package_xml(text);
        benchmark::DoNotOptimize(parsed);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_ParsePackageXml)->Unit(benchmark::kMillisecond);

void BM_ReferenceSetInsert(benchmark::State& state) {
    const auto& parsed = parsed_manifest();
    for (auto _ : state) {
        std::set<std::string> names;
        for (const auto& section : parsed.sections) {
            for (const std::string& member : section.members) names.insert(member);
        }
        benchmark::DoNotOptimize(names);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * member_bytes()));
}
BENCHMARK(BM_ReferenceSetInsert)->Unit(benchmark::kMillisecond);

void BM_MapManifestSections(benchmark::State& state) {
    const auto& parsed = parsed_manifest();
    for (auto _ : state) {
        auto mapping = manifest_reader::map_manifest_sections(parsed);
        benchmark::DoNotOptimize(mapping);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * member_bytes()));
}
BENCHMARK(BM_MapManifestSections)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
