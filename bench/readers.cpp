// Every component reader of the component-reading table over one source tree of more than 5,000
// documents, built in a private temporary folder from the metadata corpus: each corpus document is
// copied under numbered object folders and file stems, and the Apex bodies and bundle files that the
// corpus lacks are small synthesized texts. The reference opens, reads whole and closes exactly the
// files that the readers read (a file read by several readers counts each time), so the readers'
// own cost (listing, sorting, parsing, building components) is what the ratio shows.
//
// Target: BM_ReadAllTypes within 3x of BM_ReferencePlainRead (compare bytes_per_second).
//
// Beside it, the container merge: 200 incoming labels (100 replacing, 100 new) merged into a document
// of 2,000 labels. The merge re-splits the document once per incoming child by design; its reference,
// BM_ReferenceSplitPerIncomingChild, is exactly those splits, so the ratio shows that nothing else
// (no further pass and no copy of the document per child) is added. Expected within 2x.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "metadata/component_reading.hpp"
#include "metadata/container_child_reader.hpp"
#include "metadata_types/metadata_type.hpp"
#include "platform_fs/files.hpp"

namespace {

namespace fs = std::filesystem;
using ambrel::metadata_types::MetadataType;

constexpr int kCopies = 30;
constexpr std::string_view kPrefixFormat = "N";
constexpr std::string_view kMetadataNamespace = "xmlns=\"http://soap.sforce.com/2006/04/metadata\"";

std::string numbered(int copy, std::string_view name) { return std::string(kPrefixFormat) + std::to_string(copy) + "_" + std::string(name); }

std::string read_all(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_all(const fs::path& path, std::string_view text) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// The file name with its first part (up to the first ".") numbered.
std::string numbered_file(int copy, const fs::path& file) {
    const std::string name = file.filename().string();
    return numbered(copy, name);
}

struct Tree {
    ambrel::platform_fs::files::PrivateTempDir dir;
    fs::path root;
    std::size_t documents = 0;
    std::vector<fs::path> read_paths;  // every file the readers read, once per read
    std::size_t read_bytes = 0;
};

void copy_project(const fs::path& project, const fs::path& root, int copy, std::size_t& documents) {
    for (const fs::directory_entry& type_folder : fs::directory_iterator(project)) {
        if (!type_folder.is_directory()) continue;
        const std::string folder = type_folder.path().filename().string();
        if (folder == "objects") {
            for (const fs::directory_entry& object : fs::directory_iterator(type_folder)) {
                const std::string name = object.path().filename().string();
                const fs::path target = root / "objects" / numbered(copy, name);
                for (const fs::directory_entry& entry : fs::recursive_directory_iterator(object)) {
                    if (!entry.is_regular_file()) continue;
                    fs::path relative = fs::relative(entry.path(), object.path());
                    if (relative == fs::path(name + ".object-meta.xml")) relative = numbered(copy, name) + ".object-meta.xml";
                    write_all(target / relative, read_all(entry.path()));
                    ++documents;
                }
            }
        } else if (folder == "lwc" || folder == "aura") {
            for (const fs::directory_entry& bundle : fs::directory_iterator(type_folder)) {
                if (!bundle.is_directory()) continue;
                const fs::path target = root / folder / numbered(copy, bundle.path().filename().string());
                for (const fs::directory_entry& entry : fs::recursive_directory_iterator(bundle)) {
                    if (!entry.is_regular_file()) continue;
                    write_all(target / fs::relative(entry.path(), bundle.path()), read_all(entry.path()));
                    ++documents;
                }
                write_all(target / "synthesized.js", "export default class Synthesized {}\n");
            }
        } else {
            for (const fs::directory_entry& entry : fs::recursive_directory_iterator(type_folder)) {
                if (!entry.is_regular_file()) continue;
                const fs::path relative = fs::relative(entry.path().parent_path(), type_folder.path());
                const std::string text = read_all(entry.path());
                write_all(root / folder / relative / numbered_file(copy, entry.path()), text);
                ++documents;
                const std::string name = entry.path().filename().string();
                // Some corpus sidecars are in the tooling namespace; a body beside them would make the
                // Apex reader refuse the tree, so only sidecars of metadata documents get one.
                if (text.find(kMetadataNamespace) == std::string::npos) continue;
                for (std::string_view suffix : {".cls-meta.xml", ".trigger-meta.xml", ".page-meta.xml"}) {
                    if (name.ends_with(suffix)) {
                        const std::string body = numbered(copy, name.substr(0, name.size() - 9));
                        write_all(root / folder / relative / body, "// synthesized body\npublic class X {}\n");
                    }
                }
            }
        }
    }
}

Tree& tree() {
    static Tree* built = [] {
        auto dir = ambrel::platform_fs::files::PrivateTempDir::create("ambrel-bench-readers-");
        if (!dir) {
            std::cerr << "cannot create a temporary folder\n";
            std::exit(1);
        }
        auto* t = new Tree{std::move(*dir), {}, 0, {}, 0};
        t->root = t->dir.path() / "force-app/main/default";
        const fs::path corpus = AMBREL_CORPUS_DIR;
        for (int copy = 0; copy < kCopies; ++copy) {
            for (const char* project : {"dreamhouse-lwc", "ebikes-lwc"}) {
                copy_project(corpus / project / "force-app/main/default", t->root, copy, t->documents);
            }
        }
        // The files the readers read: documents, bodies and bundle files of what they return.
        for (const MetadataType type : ambrel::metadata_types::all_metadata_types()) {
            auto read = ambrel::metadata::read_components(type, t->root);
            if (!read) {
                std::cerr << "reader failed: " << read.error().message() << "\n";
                std::exit(1);
            }
            for (const auto& component : *read) {
                if (!component.bundle_files.empty()) {
                    for (const auto& [relative, text] : component.bundle_files) {
                        t->read_paths.push_back(component.source_path / relative);
                    }
                    continue;
                }
                t->read_paths.push_back(component.source_path);
                if (component.body) t->read_paths.push_back(t->root / component.body->path);
            }
        }
        for (const fs::path& path : t->read_paths) t->read_bytes += fs::file_size(path);
        return t;
    }();
    return *built;
}

void BM_ReferencePlainRead(benchmark::State& state) {
    Tree& t = tree();
    std::string buffer;
    for (auto _ : state) {
        for (const fs::path& path : t.read_paths) {
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            struct stat info {};
            ::fstat(fd, &info);
            buffer.resize(static_cast<std::size_t>(info.st_size));
            std::size_t done = 0;
            while (done < buffer.size()) {
                const ssize_t got = ::read(fd, buffer.data() + done, buffer.size() - done);
                if (got <= 0) break;
                done += static_cast<std::size_t>(got);
            }
            ::close(fd);
            benchmark::DoNotOptimize(buffer.data());
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * t.read_bytes));
    state.counters["documents"] = static_cast<double>(t.documents);
    state.counters["files_read"] = static_cast<double>(t.read_paths.size());
}
BENCHMARK(BM_ReferencePlainRead)->Unit(benchmark::kMillisecond);

void BM_ReadAllTypes(benchmark::State& state) {
    Tree& t = tree();
    for (auto _ : state) {
        for (const MetadataType type : ambrel::metadata_types::all_metadata_types()) {
            auto read = ambrel::metadata::read_components(type, t.root);
            benchmark::DoNotOptimize(read);
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * t.read_bytes));
}
BENCHMARK(BM_ReadAllTypes)->Unit(benchmark::kMillisecond);

namespace container = ambrel::metadata::container_child_reader;

constexpr int kExistingLabels = 2000;
constexpr int kIncomingLabels = 200;

std::string label_xml(int number, std::string_view value) {
    return "<labels>\n        <fullName>Label_" + std::to_string(number) +
           "</fullName>\n        <language>en_US</language>\n        <protected>false</protected>\n"
           "        <shortDescription>Label " + std::to_string(number) + "</shortDescription>\n        <value>" +
           std::string(value) + "</value>\n    </labels>";
}

struct MergeInput {
    std::string existing;
    std::vector<container::IncomingContainerChild> incoming;
};

const MergeInput& merge_input() {
    static const MergeInput input = [] {
        std::vector<std::string> children;
        for (int i = 0; i < kExistingLabels; ++i) children.push_back(label_xml(i * 2, "old"));
        MergeInput built{container::render_container_document("CustomLabels", children), {}};
        for (int i = 0; i < kIncomingLabels; ++i) {
            // Even numbers replace existing labels, odd ones are new.
            const int number = i % 2 == 0 ? i * 2 : kExistingLabels * 2 + i;
            built.incoming.push_back({"labels", "Label_" + std::to_string(number), label_xml(number, "new")});
        }
        return built;
    }();
    return input;
}

void BM_ReferenceSplitPerIncomingChild(benchmark::State& state) {
    const MergeInput& input = merge_input();
    for (auto _ : state) {
        for (std::size_t i = 0; i < input.incoming.size(); ++i) {
            auto split = container::split_container_document_reporting_root(input.existing, "labels");
            benchmark::DoNotOptimize(split);
        }
    }
    state.SetBytesProcessed(
        static_cast<std::int64_t>(state.iterations() * input.incoming.size() * input.existing.size()));
}
BENCHMARK(BM_ReferenceSplitPerIncomingChild)->Unit(benchmark::kMillisecond);

void BM_ContainerMerge(benchmark::State& state) {
    const MergeInput& input = merge_input();
    for (auto _ : state) {
        auto merged = container::merge_container_document(input.existing, "CustomLabels", input.incoming, "labels");
        if (!merged) state.SkipWithError(merged.error().message().c_str());
        benchmark::DoNotOptimize(merged);
    }
    state.SetBytesProcessed(
        static_cast<std::int64_t>(state.iterations() * input.incoming.size() * input.existing.size()));
}
BENCHMARK(BM_ContainerMerge)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
