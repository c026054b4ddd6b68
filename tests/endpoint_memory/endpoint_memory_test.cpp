#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "endpoint_memory/endpoint_memory.hpp"
#include "support/test_paths.hpp"

namespace ambrel::endpoint_memory {
namespace {

namespace fs = std::filesystem;
using ambrel::testing::TempDir;
using ambrel::testing::file_mode;
using ambrel::testing::read_file;

void write(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::vector<std::string> entries_of(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(EndpointMemoryDocument, ReadingTakesEachSideOnItsOwn) {
    struct Case {
        std::string name;
        std::string text;
        std::optional<RememberedEndpoints> expected;
    };
    const std::vector<Case> cases = {
        {"both sides", R"({"v":1,"source":{"kind":"org","alias":"dev"},"target":{"kind":"org","alias":"uat"}})",
         RememberedEndpoints{"dev", "uat"}},
        {"alias trimmed", R"({"v":1,"source":{"kind":"org","alias":"  dev\u3000"},"target":null})",
         RememberedEndpoints{"dev", std::nullopt}},
        {"git target ignored", R"({"v":1,"source":{"kind":"org","alias":"dev"},"target":{"kind":"git","alias":"x"}})",
         RememberedEndpoints{"dev", std::nullopt}},
        {"kind in capitals", R"({"v":1,"source":{"kind":"ORG","alias":"dev"}})", RememberedEndpoints{}},
        {"blank alias", R"({"v":1,"source":{"kind":"org","alias":"  "},"target":{"kind":"org","alias":"t"}})",
         RememberedEndpoints{std::nullopt, "t"}},
        {"alias not text", R"({"v":1,"source":{"kind":"org","alias":5}})", RememberedEndpoints{}},
        {"side not an object", R"({"v":1,"source":"dev"})", RememberedEndpoints{}},
        {"only the version", R"({"v":1})", RememberedEndpoints{}},
        {"nulls", R"({"v":1,"source":null,"target":null})", RememberedEndpoints{}},
        {"other members ignored", R"({"x":[],"v":1,"source":{"alias":"a","kind":"org","y":2}})",
         RememberedEndpoints{"a", std::nullopt}},
        {"version as text", R"({"v":"1","source":{"kind":"org","alias":"dev"}})", std::nullopt},
        {"version as 1.0", R"({"v":1.0,"source":{"kind":"org","alias":"dev"}})", std::nullopt},
        {"version 2", R"({"v":2,"source":{"kind":"org","alias":"dev"}})", std::nullopt},
        {"version null", R"({"v":null})", std::nullopt},
        {"version missing", R"({"source":{"kind":"org","alias":"dev"}})", std::nullopt},
        {"top-level array", R"([1])", std::nullopt},
        {"top-level null", "null", std::nullopt},
        {"invalid json", "{\"v\":1,", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(parse_memory_document(c.text), c.expected);
    }
}

TEST(EndpointMemoryDocument, WritingHasOneFixedForm) {
    EXPECT_EQ(render_memory_document({}), "{\"v\":1,\"source\":null,\"target\":null}\n");
    EXPECT_EQ(render_memory_document({"dev", std::nullopt}),
              "{\"v\":1,\"source\":{\"kind\":\"org\",\"alias\":\"dev\"},\"target\":null}\n");
    const RememberedEndpoints quoted{"a\"b", "é"};
    const std::string text = render_memory_document(quoted);
    EXPECT_NE(text.find(R"("alias":"a\"b")"), std::string::npos);
    EXPECT_NE(text.find("\"alias\":\"é\""), std::string::npos);
    EXPECT_EQ(parse_memory_document(text), quoted);
}

TEST(FileEndpointMemory, RemembersAcrossInstancesInAPrivateFolder) {
    TempDir temp;
    const fs::path data = temp.path() / "parent" / "quillary";
    const FileEndpointMemory first(data);
    EXPECT_EQ(first.recall(), RememberedEndpoints{});
    ASSERT_TRUE(first.remember({"dev", "uat"}));
    EXPECT_EQ(file_mode(data) & 0777, 0700U);
    EXPECT_EQ(read_file(data / "last-endpoints.json"),
              "{\"v\":1,\"source\":{\"kind\":\"org\",\"alias\":\"dev\"},\"target\":{\"kind\":\"org\",\"alias\":\"uat\"}}\n");
    EXPECT_EQ(FileEndpointMemory(data).recall(), (RememberedEndpoints{"dev", "uat"}));
    EXPECT_EQ(entries_of(data), std::vector<std::string>{"last-endpoints.json"});
}

TEST(FileEndpointMemory, WithoutADataDirectoryNothingIsRemembered) {
    const FileEndpointMemory memory(std::nullopt);
    EXPECT_FALSE(memory.remember({"dev", std::nullopt}));
    EXPECT_EQ(memory.recall(), RememberedEndpoints{});
    EXPECT_FALSE(NoEndpointMemory().remember({"dev", std::nullopt}));
    EXPECT_EQ(NoEndpointMemory().recall(), RememberedEndpoints{});
}

TEST(FileEndpointMemory, ADamagedOrForeignDocumentIsReadAsNothingAndLeftAsItIs) {
    TempDir temp;
    const fs::path file = temp.path() / "last-endpoints.json";
    const std::vector<std::string> documents = {"{\"v\":2,\"source\":{\"kind\":\"org\",\"alias\":\"dev\"}}",
                                                "not json", std::string("{\"v\":1,\"source\":\"\xff\"}")};
    for (const auto& document : documents) {
        SCOPED_TRACE(document);
        write(file, document);
        EXPECT_EQ(FileEndpointMemory(temp.path()).recall(), RememberedEndpoints{});
        EXPECT_EQ(read_file(file), document);
    }
}

TEST(FileEndpointMemory, ADocumentThatCouldNotBeReadIsKeptBesideBeforeItIsWrittenOver) {
    const std::vector<std::string> documents = {"{\"v\":2,\"source\":{\"kind\":\"org\",\"alias\":\"dev\"}}",
                                                "not json", std::string("{\"v\":1,\"source\":\"\xff\"}"),
                                                std::string(1024 * 1024 + 1, ' ')};
    const std::string written =
        "{\"v\":1,\"source\":{\"kind\":\"org\",\"alias\":\"dev\"},\"target\":null}\n";
    for (const auto& document : documents) {
        SCOPED_TRACE(document.substr(0, 40));
        TempDir temp;
        const fs::path file = temp.path() / "last-endpoints.json";
        const fs::path aside = temp.path() / "last-endpoints.json.unreadable";
        write(aside, "an older kept document");
        write(file, document);
        const FileEndpointMemory memory(temp.path());
        const RememberOutcome first = memory.remember({"dev", std::nullopt});
        EXPECT_TRUE(first.written);
        EXPECT_EQ(first.kept_aside, aside);
        EXPECT_EQ(read_file(aside), document);
        EXPECT_EQ(read_file(file), written);
        // The document now read is written over without keeping anything.
        const RememberOutcome second = memory.remember({"dev", std::nullopt});
        EXPECT_TRUE(second.written);
        EXPECT_EQ(second.kept_aside, std::nullopt);
        EXPECT_EQ(read_file(aside), document);
        EXPECT_EQ(entries_of(temp.path()),
                  (std::vector<std::string>{"last-endpoints.json", "last-endpoints.json.unreadable"}));
    }
    // A document that is read, even with a side dropped, is simply replaced.
    TempDir temp;
    write(temp.path() / "last-endpoints.json", R"({"v":1,"source":{"kind":"git","alias":"x"}})");
    const RememberOutcome outcome = FileEndpointMemory(temp.path()).remember({"dev", std::nullopt});
    EXPECT_TRUE(outcome.written);
    EXPECT_EQ(outcome.kept_aside, std::nullopt);
    EXPECT_EQ(entries_of(temp.path()), std::vector<std::string>{"last-endpoints.json"});
}

TEST(FileEndpointMemory, AFifoOrALinkIsNotRead) {
    TempDir temp;
    const fs::path elsewhere = temp.path() / "elsewhere.json";
    write(elsewhere, R"({"v":1,"source":{"kind":"org","alias":"dev"}})");
    const fs::path linked = temp.path() / "linked";
    fs::create_directories(linked);
    fs::create_symlink(elsewhere, linked / "last-endpoints.json");
    EXPECT_EQ(FileEndpointMemory(linked).recall(), RememberedEndpoints{});
    const fs::path piped = temp.path() / "piped";
    fs::create_directories(piped);
    ASSERT_EQ(::mkfifo((piped / "last-endpoints.json").c_str(), 0600), 0);
    EXPECT_EQ(FileEndpointMemory(piped).recall(), RememberedEndpoints{});
}

TEST(FileEndpointMemory, AFailedWriteKeepsThePreviousDocumentAndLeavesNoTemporaryFile) {
    TempDir temp;
    const FileEndpointMemory memory(temp.path());
    ASSERT_TRUE(memory.remember({"dev", "uat"}));
    const std::string before = read_file(temp.path() / "last-endpoints.json");
    // A folder where the document should be cannot be replaced by a rename.
    fs::remove(temp.path() / "last-endpoints.json");
    fs::create_directories(temp.path() / "last-endpoints.json" / "inside");
    EXPECT_FALSE(memory.remember({"other", std::nullopt}));
    EXPECT_TRUE(fs::is_directory(temp.path() / "last-endpoints.json" / "inside"));
    EXPECT_EQ(entries_of(temp.path()), std::vector<std::string>{"last-endpoints.json"});
    EXPECT_FALSE(before.empty());
    // A data directory below a file cannot be created.
    const fs::path blocked = temp.path() / "file";
    write(blocked, "x");
    EXPECT_FALSE(FileEndpointMemory(blocked / "quillary").remember({"dev", std::nullopt}));
    EXPECT_EQ(read_file(blocked), "x");
}

TEST(FileEndpointMemory, DiscoverFollowsThePlatformRule) {
    TempDir temp;
    ambrel::testing::ScopedVariable home("HOME", temp.path().string());
    ambrel::testing::ScopedVariable xdg("XDG_DATA_HOME", "");
    const auto found = FileEndpointMemory::discover().data_directory();
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->filename(), "quillary");
    EXPECT_EQ(found->string().rfind(temp.path().string(), 0), 0U);
    EXPECT_FALSE(fs::exists(*found));
    ambrel::testing::ScopedVariable no_home("HOME", " ");
    EXPECT_FALSE(FileEndpointMemory::discover().data_directory().has_value());
}

}  // namespace
}  // namespace ambrel::endpoint_memory
