// Document equality of the compare over the metadata documents of the corpus projects (fields,
// objects, flows, layouts, Apex sidecars and the rest, about 200 documents), each compared with a
// second copy as a release compare meets them: most documents equal byte for byte, one in 50
// formatted otherwise (indented with tabs, "\r\n" line ends, the declaration spelled with
// apostrophes) and one in 50 with a changed value. The reference is a plain memcmp-style comparison
// (size, then memcmp) of the same pairs of texts. Target: documents_equal costs at most 3x the
// reference on that mix. The all-equal and all-reformatted mixes are shown beside it for scale.
//
// Run: build/bench/bench/document_equality (a Release build with -DAMBREL_BUILD_BENCH=ON).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "comparison/document_equality.hpp"

namespace {

struct Pair {
    std::string a;
    std::string b;
};

std::string read_file(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The corpus's metadata documents, in a fixed order.
const std::vector<std::string>& documents() {
    static const std::vector<std::string> found = [] {
        std::vector<std::filesystem::path> paths;
        for (const auto& entry : std::filesystem::recursive_directory_iterator(AMBREL_CORPUS_DIR)) {
            const std::string name = entry.path().filename().string();
            if (entry.is_regular_file() && name.ends_with("-meta.xml")) paths.push_back(entry.path());
        }
        std::sort(paths.begin(), paths.end());
        std::vector<std::string> texts;
        for (const auto& path : paths) texts.push_back(read_file(path));
        return texts;
    }();
    return found;
}

// The same document as another tool writes it: tabs for each four-space indent, "\r\n" line ends,
// the declaration with apostrophes.
std::string reformatted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 16);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.substr(i, 4) == "    ") {
            out.push_back('\t');
            i += 3;
        } else if (text[i] == '\n') {
            out += "\r\n";
        } else if (text[i] == '"' && out.starts_with("<?xml") && out.find("?>") == std::string::npos) {
            out.push_back('\'');
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// One value changed near the middle: the first letter after the middle ">" becomes another.
std::string changed(std::string text) {
    const std::size_t close = text.find('>', text.size() / 2);
    for (std::size_t i = close; i < text.size(); ++i) {
        if (std::isalpha(static_cast<unsigned char>(text[i]))) {
            text[i] = text[i] == 'x' ? 'y' : 'x';
            break;
        }
    }
    return text;
}

// Every document with its second copy: reformatted for one in `reformat_every`, changed for one in
// `change_every` (0: never), equal otherwise.
std::vector<Pair> pairs(int reformat_every, int change_every) {
    std::vector<Pair> result;
    const auto& texts = documents();
    for (std::size_t i = 0; i < texts.size(); ++i) {
        const std::string& text = texts[i];
        if (reformat_every != 0 && i % static_cast<std::size_t>(reformat_every) == 0) {
            result.push_back({text, reformatted(text)});
        } else if (change_every != 0 && i % static_cast<std::size_t>(change_every) == 1) {
            result.push_back({text, changed(text)});
        } else {
            result.push_back({text, text});
        }
    }
    return result;
}

std::int64_t bytes_of(const std::vector<Pair>& all) {
    std::int64_t bytes = 0;
    for (const Pair& pair : all) bytes += static_cast<std::int64_t>(pair.a.size() + pair.b.size());
    return bytes;
}

bool memcmp_equal(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

template <bool (*Equal)(const std::string&, const std::string&)>
void run(benchmark::State& state, const std::vector<Pair>& all) {
    for (auto _ : state) {
        int equal = 0;
        for (const Pair& pair : all) equal += Equal(pair.a, pair.b) ? 1 : 0;
        benchmark::DoNotOptimize(equal);
    }
    state.SetBytesProcessed(state.iterations() * bytes_of(all));
    state.counters["documents"] = static_cast<double>(all.size());
}

bool documents_equal(const std::string& a, const std::string& b) { return ambrel::comparison::documents_equal(a, b); }

const std::vector<Pair>& release_mix() {
    static const std::vector<Pair> all = pairs(50, 50);
    return all;
}
const std::vector<Pair>& all_equal() {
    static const std::vector<Pair> all = pairs(0, 0);
    return all;
}
const std::vector<Pair>& all_reformatted() {
    static const std::vector<Pair> all = pairs(1, 0);
    return all;
}

void BM_ReferenceMemcmp_ReleaseMix(benchmark::State& state) { run<memcmp_equal>(state, release_mix()); }
void BM_DocumentsEqual_ReleaseMix(benchmark::State& state) { run<documents_equal>(state, release_mix()); }
void BM_ReferenceMemcmp_AllEqual(benchmark::State& state) { run<memcmp_equal>(state, all_equal()); }
void BM_DocumentsEqual_AllEqual(benchmark::State& state) { run<documents_equal>(state, all_equal()); }
void BM_ReferenceMemcmp_AllReformatted(benchmark::State& state) { run<memcmp_equal>(state, all_reformatted()); }
void BM_DocumentsEqual_AllReformatted(benchmark::State& state) { run<documents_equal>(state, all_reformatted()); }

}  // namespace

BENCHMARK(BM_ReferenceMemcmp_ReleaseMix);
BENCHMARK(BM_DocumentsEqual_ReleaseMix);
BENCHMARK(BM_ReferenceMemcmp_AllEqual);
BENCHMARK(BM_DocumentsEqual_AllEqual);
BENCHMARK(BM_ReferenceMemcmp_AllReformatted);
BENCHMARK(BM_DocumentsEqual_AllReformatted);

BENCHMARK_MAIN();
