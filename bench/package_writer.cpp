// Writing the package of a 5,000-component deploy: custom fields, objects, layouts, Apex classes with
// their bodies and custom labels gathered into one container document, from corpus documents under
// generated names (Apex bodies generated) (the source tree is prepared outside the timing). The reference writes the same
// bytes to the same paths with plain open/write/close. Target: the package writer costs no more than
// 3x the reference.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "deployment/component_batch/component_batch.hpp"
#include "metadata_types/metadata_type.hpp"
#include "platform_fs/files.hpp"

namespace {

namespace fs = std::filesystem;
using ambrel::metadata_types::MetadataType;

constexpr int kFields = 1500;
constexpr int kObjects = 500;
constexpr int kLayouts = 500;
constexpr int kClasses = 1500;
constexpr int kLabels = 1000;

std::string corpus_file(const std::string& relative) {
    std::ifstream in(fs::path(AMBREL_CORPUS_DIR) / "dreamhouse-lwc/force-app/main/default" / relative, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Prepared {
    fs::path root;
    std::vector<ambrel::domain::MetadataComponent> components;
    // What the writer produces: (relative path below the package folder, bytes).
    std::vector<std::pair<std::string, std::string>> files;
};

void write_file(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

const Prepared& prepared() {
    static const Prepared data = [] {
        Prepared p;
        p.root = fs::temp_directory_path() / fmt::format("package-writer-bench-{}", ::getpid());
        fs::remove_all(p.root);
        const fs::path source = p.root / "source/force-app/main/default";
        const std::string field = corpus_file("objects/Property__c/fields/Address__c.field-meta.xml");
        const std::string object = corpus_file("objects/Property__c/Property__c.object-meta.xml");
        const std::string layout = corpus_file("layouts/Property__c-Property Layout.layout-meta.xml");
        const std::string class_meta = corpus_file("classes/FileUtilities.cls-meta.xml");
        // The corpus keeps only the classes' metadata documents; the bodies are generated.
        std::string class_body = "public with sharing class Generated {\n";
        for (int line = 0; line < 40; ++line) {
            class_body += fmt::format("    public static Integer value{0}(Integer x) {{ return x + {0}; }}\n", line);
        }
        class_body += "}\n";
        auto add = [&](MetadataType type, std::string name, const std::string& relative, std::string document) {
            ambrel::domain::MetadataComponent c;
            c.key = {type, std::move(name)};
            c.source_path = source / relative;
            write_file(c.source_path, document);
            c.document = std::move(document);
            p.components.push_back(std::move(c));
        };
        for (int i = 0; i < kFields; ++i) {
            add(MetadataType::CustomField, fmt::format("Obj{}__c.Field{}__c", i % kObjects, i),
                fmt::format("objects/Obj{}__c/fields/Field{}__c.field-meta.xml", i % kObjects, i), field);
        }
        for (int i = 0; i < kObjects; ++i) {
            add(MetadataType::CustomObject, fmt::format("Obj{}__c", i),
                fmt::format("objects/Obj{0}__c/Obj{0}__c.object-meta.xml", i), object);
        }
        for (int i = 0; i < kLayouts; ++i) {
            add(MetadataType::Layout, fmt::format("Obj{0}__c-Obj{0} Layout", i),
                fmt::format("layouts/Obj{0}__c-Obj{0} Layout.layout-meta.xml", i), layout);
        }
        for (int i = 0; i < kClasses; ++i) {
            add(MetadataType::ApexClass, fmt::format("Class{}", i), fmt::format("classes/Class{}.cls-meta.xml", i),
                class_meta);
            p.components.back().body = ambrel::domain::ComponentBody{fmt::format("classes/Class{}.cls", i), class_body};
        }
        const auto label_type = *MetadataType::from_api_name("CustomLabel");
        for (int i = 0; i < kLabels; ++i) {
            add(label_type, fmt::format("Label{}", i), "labels/CustomLabels.labels-meta.xml",
                fmt::format("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CustomLabels "
                            "xmlns=\"http://soap.sforce.com/2006/04/metadata\">\n    <labels>\n        "
                            "<fullName>Label{0}</fullName>\n        <language>en_US</language>\n        "
                            "<protected>false</protected>\n        <shortDescription>Label {0}</shortDescription>\n"
                            "        <value>Value of label {0}</value>\n    </labels>\n</CustomLabels>\n",
                            i));
        }
        // The reference writes exactly what one writer run leaves.
        const fs::path once = p.root / "once";
        if (!ambrel::deployment::component_batch::package_metadata_components(p.components, once)) std::abort();
        for (const auto& entry : fs::recursive_directory_iterator(once)) {
            if (!entry.is_regular_file()) continue;
            std::ifstream in(entry.path(), std::ios::binary);
            p.files.emplace_back(fs::relative(entry.path(), once).string(),
                                 std::string{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()});
        }
        return p;
    }();
    return data;
}

std::int64_t total_bytes(const Prepared& p) {
    std::int64_t total = 0;
    for (const auto& [path, bytes] : p.files) total += static_cast<std::int64_t>(bytes.size());
    return total;
}

void BM_PlainWritesReference(benchmark::State& state) {
    const Prepared& p = prepared();
    const fs::path out = p.root / "reference";
    for (auto _ : state) {
        fs::remove_all(out);
        for (const auto& [relative, bytes] : p.files) {
            const fs::path path = out / relative;
            fs::create_directories(path.parent_path());
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
            if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) std::abort();
            ::close(fd);
        }
    }
    state.SetBytesProcessed(state.iterations() * total_bytes(p));
}
BENCHMARK(BM_PlainWritesReference)->Unit(benchmark::kMillisecond);

void BM_PackageMetadataComponents(benchmark::State& state) {
    const Prepared& p = prepared();
    const fs::path out = p.root / "package";
    for (auto _ : state) {
        fs::remove_all(out);
        auto written = ambrel::deployment::component_batch::package_metadata_components(p.components, out);
        if (!written) state.SkipWithError(written.error().c_str());
    }
    state.SetBytesProcessed(state.iterations() * total_bytes(p));
}
BENCHMARK(BM_PackageMetadataComponents)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ignored;
    fs::remove_all(prepared().root, ignored);
    return 0;
}
