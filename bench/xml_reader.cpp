// Throughput of the XML pull reader over the corpus documents, beside libxml2's xmlTextReader
// walking the same documents in the same run.

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <libxml/xmlreader.h>

#include "xml/xml.hpp"

namespace {

namespace fs = std::filesystem;

// Every XML document of the corpus, read into memory once, outside the timed loops.
const std::vector<std::string>& corpus() {
    static const std::vector<std::string> documents = [] {
        std::vector<std::pair<std::string, std::string>> found;
        const fs::path root = fs::path(AMBREL_CORPUS_DIR);
        std::error_code ec;
        if (fs::is_directory(root, ec)) {
            for (const auto& entry : fs::recursive_directory_iterator(root, ec)) {
                if (!entry.is_regular_file() || entry.path().extension() != ".xml") continue;
                std::ifstream in(entry.path(), std::ios::binary);
                found.emplace_back(entry.path().string(),
                                   std::string(std::istreambuf_iterator<char>(in), {}));
            }
        }
        std::sort(found.begin(), found.end());
        std::vector<std::string> bytes;
        for (auto& [path, text] : found) bytes.push_back(std::move(text));
        return bytes;
    }();
    return documents;
}

std::int64_t corpus_bytes() {
    std::int64_t total = 0;
    for (const std::string& document : corpus()) total += static_cast<std::int64_t>(document.size());
    return total;
}

// Every event of every document; element names resolved to their namespace, as the readers do.
void BM_XmlReader(benchmark::State& state) {
    const auto& documents = corpus();
    if (documents.empty()) {
        state.SkipWithError("no corpus documents");
        return;
    }
    for (auto _ : state) {
        std::size_t events = 0;
        std::size_t bound = 0;
        for (const std::string& document : documents) {
            ambrel::xml::Reader reader(ambrel::xml::strip_leading_boms(document));
            while (true) {
                auto event = reader.next();
                if (!event || event->kind == ambrel::xml::EventKind::Eof) break;
                ++events;
                if (event->kind == ambrel::xml::EventKind::Start || event->kind == ambrel::xml::EventKind::Empty) {
                    const auto ns = reader.resolve_element(*event);
                    bound += ns.uri.size() + event->local_name().size();
                }
            }
        }
        benchmark::DoNotOptimize(events);
        benchmark::DoNotOptimize(bound);
    }
    state.SetBytesProcessed(state.iterations() * corpus_bytes());
}
BENCHMARK(BM_XmlReader);

// Every node of every document through xmlTextReader, with the local name and namespace of each
// element.
void BM_ReferenceLibxml2Reader(benchmark::State& state) {
    const auto& documents = corpus();
    if (documents.empty()) {
        state.SkipWithError("no corpus documents");
        return;
    }
    xmlInitParser();
    for (auto _ : state) {
        std::size_t nodes = 0;
        std::size_t bound = 0;
        for (const std::string& document : documents) {
            xmlTextReaderPtr reader = xmlReaderForMemory(document.data(), static_cast<int>(document.size()),
                                                         nullptr, nullptr, XML_PARSE_NONET);
            if (reader == nullptr) continue;
            while (xmlTextReaderRead(reader) == 1) {
                ++nodes;
                if (xmlTextReaderNodeType(reader) == XML_READER_TYPE_ELEMENT) {
                    const xmlChar* local = xmlTextReaderConstLocalName(reader);
                    const xmlChar* uri = xmlTextReaderConstNamespaceUri(reader);
                    bound += (local != nullptr ? 1 : 0) + (uri != nullptr ? 1 : 0);
                }
            }
            xmlFreeTextReader(reader);
        }
        benchmark::DoNotOptimize(nodes);
        benchmark::DoNotOptimize(bound);
    }
    state.SetBytesProcessed(state.iterations() * corpus_bytes());
}
BENCHMARK(BM_ReferenceLibxml2Reader);

}  // namespace

BENCHMARK_MAIN();
