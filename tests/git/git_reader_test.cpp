#include "git/reader.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "git_helpers.hpp"
#include "metadata_types/name_rules.hpp"
#include "support/git_repo.hpp"
#include "support/test_paths.hpp"

namespace ambrel::git {
namespace {

using testing::GitRepo;
using Files = std::vector<std::string>;

class GitReaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        AMBREL_REQUIRE_GIT();
        repo_ = std::make_unique<GitRepo>(dir_.path(), "repo");
        repo_->write(".gitignore", "*.log\n");
        repo_->write("force-app/main/default/classes/A.cls", "class A {}");
        repo_->write("force-app/main/default/classes/A.cls-meta.xml", "<meta/>");
        repo_->write("force-app/main/default/gone.txt", "tracked then deleted");
        repo_->write("other/readme.md", "other");
        repo_->write("wild*/x.txt", "star folder");
        repo_->write("wildcard/y.txt", "plain folder");
        repo_->write("bad/latin1.txt", "caf\xe9");
        std::filesystem::create_symlink("A.cls", repo_->path() / "force-app/main/default/classes/Link.cls");
        repo_->commit_all("first");
        std::filesystem::remove(repo_->path() / "force-app/main/default/gone.txt");
        repo_->write("force-app/main/default/untracked.txt", "new");
        repo_->write("force-app/main/default/debug.log", "ignored");
    }

    GitContentReader working() const { return GitContentReader(logged_.gateway, repo_->path(), std::nullopt); }
    GitContentReader at(std::string ref) const { return GitContentReader(logged_.gateway, repo_->path(), ref); }

    testing::TempDir dir_;
    std::unique_ptr<GitRepo> repo_;
    test::LoggedGateway logged_;
};

TEST_F(GitReaderTest, WorkingTreeListsTrackedAndUnignoredFilesThatAreRegular) {
    auto files = working().list_files("force-app");
    ASSERT_TRUE(files) << files.error().message();
    EXPECT_EQ(*files, (Files{"force-app/main/default/classes/A.cls", "force-app/main/default/classes/A.cls-meta.xml",
                             "force-app/main/default/untracked.txt"}));
}

// A committed link is no file at a ref either: never listed, and a read names it as the working
// tree's read does, whether the path was listed first or not.
TEST_F(GitReaderTest, RefListsCommittedFilesButNotLinks) {
    auto files = at("HEAD").list_files("force-app");
    ASSERT_TRUE(files) << files.error().message();
    EXPECT_EQ(*files, (Files{"force-app/main/default/classes/A.cls", "force-app/main/default/classes/A.cls-meta.xml",
                             "force-app/main/default/gone.txt"}));
    for (const bool listed_first : {false, true}) {
        SCOPED_TRACE(listed_first ? "listed first" : "read alone");
        const GitContentReader reader = at("HEAD");
        if (listed_first) {
            ASSERT_TRUE(reader.ensure_listed("force-app"));
        }
        auto link = reader.read_file("force-app/main/default/classes/Link.cls");
        ASSERT_FALSE(link);
        EXPECT_EQ(link.error().kind(), GitError::Kind::UnsafePath);
        EXPECT_EQ(link.error().message(),
                  "The repository entry at this metadata path is not a regular file: "
                  "force-app/main/default/classes/Link.cls");
    }
}

TEST_F(GitReaderTest, EmptyPrefixListsEverythingAndAWildcardIsLiteral) {
    for (const bool from_ref : {false, true}) {
        SCOPED_TRACE(from_ref ? "ref" : "working tree");
        const GitContentReader reader = from_ref ? at("HEAD") : working();
        auto all = reader.list_files("");
        ASSERT_TRUE(all);
        EXPECT_NE(std::ranges::find(*all, "other/readme.md"), all->end());
        auto wild = reader.list_files("wild*");
        ASSERT_TRUE(wild);
        EXPECT_EQ(*wild, Files{"wild*/x.txt"});
    }
}

TEST_F(GitReaderTest, ReadsFromBothSourcesAndRefusesWhatIsNotAFile) {
    struct Case {
        std::string name;
        bool from_ref;
        std::string path;
        std::optional<std::string> text;
        GitError::Kind kind = GitError::Kind::FileNotFound;
        std::string message = std::string(kFileNotFoundSentence);
    };
    const Case cases[] = {
        {"working file", false, "force-app/main/default/classes/A.cls", "class A {}"},
        {"ref file", true, "force-app/main/default/classes/A.cls", "class A {}"},
        {"untracked", false, "force-app/main/default/untracked.txt", "new"},
        {"untracked at ref", true, "force-app/main/default/untracked.txt", std::nullopt},
        {"deleted", false, "force-app/main/default/gone.txt", std::nullopt},
        {"deleted at ref", true, "force-app/main/default/gone.txt", "tracked then deleted"},
        {"missing", true, "nope.txt", std::nullopt},
        {"working link", false, "force-app/main/default/classes/Link.cls", std::nullopt, GitError::Kind::UnsafePath,
         "The repository entry at this metadata path is not a regular file: force-app/main/default/classes/Link.cls"},
        {"working directory", false, "force-app/main", std::nullopt, GitError::Kind::UnsafePath,
         "The repository entry at this metadata path is not a regular file: force-app/main"},
        {"ref directory", true, "force-app/main", std::nullopt},
        {"working latin1", false, "bad/latin1.txt", std::nullopt, GitError::Kind::UnreadableDocument,
         "bad/latin1.txt in the working tree is not UTF-8 text."},
        {"ref latin1", true, "bad/latin1.txt", std::nullopt, GitError::Kind::UnreadableDocument,
         "bad/latin1.txt in HEAD is not UTF-8 text."},
        {"unknown ref", false, "", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const GitContentReader reader = c.name == "unknown ref" ? at("no-such-branch") : c.from_ref ? at("HEAD") : working();
        auto text = reader.read_file(c.name == "unknown ref" ? "force-app/main/default/classes/A.cls" : c.path);
        if (c.text) {
            ASSERT_TRUE(text) << text.error().message();
            EXPECT_EQ(*text, *c.text);
        } else {
            ASSERT_FALSE(text);
            EXPECT_EQ(text.error().kind(), c.kind);
            EXPECT_EQ(text.error().message(), c.message);
        }
    }
}

TEST_F(GitReaderTest, NamesWithLineFeedsAndNonAsciiComeBackAsStored) {
    const std::string odd = "names/a\nb \xC3\xA9t\xC3\xA9.txt";
    repo_->write(odd, "odd");
    repo_->commit_all("odd");
    for (const bool from_ref : {false, true}) {
        SCOPED_TRACE(from_ref ? "ref" : "working tree");
        const GitContentReader reader = from_ref ? at("HEAD") : working();
        auto files = reader.list_files("names");
        ASSERT_TRUE(files);
        EXPECT_EQ(*files, Files{odd});
        auto text = reader.read_file(odd);
        ASSERT_TRUE(text) << text.error().message();
        EXPECT_EQ(*text, "odd");
    }
}

TEST_F(GitReaderTest, ALinkedFolderNeverLeadsAReadOutsideTheRepository) {
    testing::TempDir outside;
    {
        std::ofstream(outside.path() / "secret.cls") << "secret";
    }
    std::filesystem::create_symlink(outside.path(), repo_->path() / "force-app/main/default/linked");
    repo_->commit_all("linked folder");
    auto text = working().read_file("force-app/main/default/linked/secret.cls");
    ASSERT_FALSE(text);
    EXPECT_EQ(text.error().message(),
              "The repository entry at this metadata path is not a regular file: "
              "force-app/main/default/linked/secret.cls");
    auto files = working().list_files("force-app/main/default/linked");
    ASSERT_TRUE(files);
    EXPECT_TRUE(files->empty());
    // A path that climbs is refused the same way.
    auto climbing = working().read_file("force-app/../other/readme.md");
    ASSERT_FALSE(climbing);
    EXPECT_EQ(climbing.error().kind(), GitError::Kind::UnsafePath);
}

TEST_F(GitReaderTest, AFifoIsNeitherListedNorWaitedFor) {
    ASSERT_EQ(::mkfifo((repo_->path() / "other/pipe.txt").c_str(), 0600), 0);
    auto files = working().list_files("other");
    ASSERT_TRUE(files);
    EXPECT_EQ(*files, Files{"other/readme.md"});
    auto text = working().read_file("other/pipe.txt");
    ASSERT_FALSE(text);
    EXPECT_EQ(text.error().message(), "The repository entry at this metadata path is not a regular file: other/pipe.txt");
}

TEST_F(GitReaderTest, TheRepositoryItselfMayLieBelowALink) {
    std::filesystem::create_symlink(repo_->path(), dir_.path() / "via-link");
    const GitContentReader reader(logged_.gateway, dir_.path() / "via-link", std::nullopt);
    auto text = reader.read_file("other/readme.md");
    ASSERT_TRUE(text) << text.error().message();
    EXPECT_EQ(*text, "other");
}

TEST_F(GitReaderTest, ARefThatGitWouldReadAsAnOptionIsRefused) {
    for (const std::string ref : {"--output=/tmp/x", "-p", ""}) {
        SCOPED_TRACE(ref);
        const GitContentReader reader = at(ref);
        auto files = reader.list_files("");
        ASSERT_FALSE(files);
        EXPECT_EQ(files.error().kind(), GitError::Kind::CommandFailed);
        EXPECT_EQ(files.error().message(),
                  "A branch name must not be empty, and a branch or revision name must not start with a hyphen.");
        EXPECT_FALSE(reader.read_file("other/readme.md"));
    }
    EXPECT_TRUE(logged_.commands().empty());
}

TEST_F(GitReaderTest, ListingAnUnknownRefFailsWithGitsMessage) {
    auto files = at("no-such-branch").list_files("");
    ASSERT_FALSE(files);
    EXPECT_EQ(files.error().kind(), GitError::Kind::CommandFailed);
    EXPECT_NE(files.error().message().find("no-such-branch"), std::string::npos);
}

TEST_F(GitReaderTest, OneListingPerPrefixAndOneCatFileChildPerReader) {
    {
        const GitContentReader reader = at("HEAD");
        ASSERT_TRUE(reader.list_files("force-app/main/default"));
        ASSERT_TRUE(reader.list_files("force-app/main/default/classes"));
        ASSERT_TRUE(reader.list_files("force-app/main/default/classes/A.cls"));
        for (int i = 0; i < 5; ++i) {
            ASSERT_TRUE(reader.read_file("force-app/main/default/classes/A.cls"));
            ASSERT_TRUE(reader.read_file("other/readme.md"));
        }
        // A file outside every listing is listed once on its own before it is read by its id.
        EXPECT_EQ(logged_.count("git ls-tree"), 2u);
        // The child's line is written when it ends.
        EXPECT_EQ(logged_.count("git cat-file"), 0u);
    }
    EXPECT_EQ(logged_.count("git cat-file"), 1u);
    EXPECT_EQ(logged_.commands().size(), 3u);
}

TEST_F(GitReaderTest, ReadsFromSeveralThreadsThroughOneReader) {
    const GitContentReader reader = at("HEAD");
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20; ++i) {
                auto a = reader.read_file("force-app/main/default/classes/A.cls");
                auto b = reader.read_file("other/readme.md");
                if (a && *a == "class A {}" && b && *b == "other") ++good;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(good.load(), 80);
}

TEST_F(GitReaderTest, AGitAnswerPastTheTimeOutStopsTheChild) {
    test::LoggedGateway hasty(std::make_unique<process::DefaultProcessRunner>(), std::chrono::milliseconds(0));
    {
        // The read lists the path first; that listing runs out of time.
        const GitContentReader reader(hasty.gateway, repo_->path(), "HEAD");
        auto text = reader.read_file("other/readme.md");
        ASSERT_FALSE(text);
        EXPECT_EQ(text.error().kind(), GitError::Kind::CommandFailed);
        EXPECT_EQ(text.error().message(), "The git command timed out.");
    }
    {
        // The cat-file child's answer runs out of time too.
        auto objects = hasty.gateway.start_object_reader(repo_->path());
        ASSERT_TRUE(objects);
        auto object = (*objects)->read(repo_->git({"rev-parse", "HEAD:other/readme.md"}).substr(0, 40));
        ASSERT_FALSE(object);
        EXPECT_EQ(object.error().kind, GitGatewayError::Kind::TimedOut);
    }
    const auto lines = hasty.writer->lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].at("command").as_string(), "git ls-tree");
    EXPECT_TRUE(lines[0].at("timedOut").as_bool());
    EXPECT_EQ(lines[1].at("command").as_string(), "git cat-file");
    EXPECT_TRUE(lines[1].at("timedOut").as_bool());
}

TEST_F(GitReaderTest, ACatFileChildThatCannotStartMeansGitIsUnusable) {
    test::LoggedGateway failing(std::make_unique<test::FailingRunner>(
        std::vector<test::FailingRunner::Rule>{{"cat-file", test::Failure::StartFailed}}));
    const GitContentReader reader(failing.gateway, repo_->path(), "HEAD");
    auto text = reader.read_file("other/readme.md");
    ASSERT_FALSE(text);
    EXPECT_EQ(text.error().kind(), GitError::Kind::GitUnusable);
}

// Reads at a ref go through one cat-file child; every answer must be what "git show <ref>:<path>"
// gives: the same bytes for a text file, "not found" for whatever show refuses; content that is not
// UTF-8, a link and a submodule are refused with their own sentences.
TEST_F(GitReaderTest, RefReadsGiveWhatGitShowGives) {
    const std::string binary("\x00\x01\xFF\xFE\x89PNG\r\n\x1A\n\x00tail", 17);
    repo_->write("same/binary.bin", binary);
    repo_->write("same/crlf.txt", "one\r\ntwo\r\n");
    repo_->write("same/empty.txt", "");
    repo_->write("same/\xC3\xA9t\xC3\xA9 \xE2\x82\xAC.txt", "non-ASCII name");
    repo_->write("same/with spaces/a b.txt", "spaces");
    repo_->write("same/no-final-newline.txt", "last line");
    std::filesystem::create_symlink("../other/readme.md", repo_->path() / "same/link.md");
    repo_->commit_all("same bytes");
    // A submodule entry: a gitlink to a commit that this repository does not hold.
    repo_->git({"update-index", "--add", "--cacheinfo", "160000,1111111111111111111111111111111111111111,same/sub"});
    repo_->git({"commit", "-q", "-m", "submodule"});

    struct Case {
        std::string name;
        std::string path;
        bool found;
        GitError::Kind kind = GitError::Kind::FileNotFound;
        std::string message = std::string(kFileNotFoundSentence);
    };
    const Case cases[] = {
        {"binary", "same/binary.bin", true, GitError::Kind::UnreadableDocument,
         "same/binary.bin in HEAD is not UTF-8 text."},
        {"CRLF", "same/crlf.txt", true},
        {"empty", "same/empty.txt", true},
        {"non-ASCII path", "same/\xC3\xA9t\xC3\xA9 \xE2\x82\xAC.txt", true},
        {"path with spaces", "same/with spaces/a b.txt", true},
        {"no final line feed", "same/no-final-newline.txt", true},
        {"symbolic link", "same/link.md", true, GitError::Kind::UnsafePath,
         "The repository entry at this metadata path is not a regular file: same/link.md"},
        {"missing", "same/missing.txt", false},
        {"submodule", "same/sub", false, GitError::Kind::UnsafePath,
         "The repository entry at this metadata path is not a regular file: same/sub"},
        {"line feed in a missing name", "same/a\nHEAD:same/crlf.txt", false},
        {"carriage return in a missing name", "same/crlf.txt\r", false},
    };
    for (const bool listed_first : {false, true}) {
        const GitContentReader reader = at("HEAD");
        if (listed_first) {
            ASSERT_TRUE(reader.ensure_listed("same"));
        }
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name + (listed_first ? " (listed first)" : ""));
            auto shown = logged_.gateway.execute(repo_->path(), {"show", "HEAD:" + c.path});
            ASSERT_TRUE(shown);
            EXPECT_EQ(shown->exit_code == 0, c.found) << shown->stderr_text;
            auto text = reader.read_file(c.path);
            if (c.found && c.message == kFileNotFoundSentence) {
                ASSERT_TRUE(text) << text.error().message();
                EXPECT_EQ(*text, shown->stdout_text);
            } else {
                ASSERT_FALSE(text);
                EXPECT_EQ(text.error().kind(), c.kind);
                EXPECT_EQ(text.error().message(), c.message);
            }
        }
    }
    EXPECT_EQ(at("HEAD").read_file("same/crlf.txt"), "one\r\ntwo\r\n");
    EXPECT_EQ(at("HEAD").read_file("same/empty.txt"), "");
}

// A name with a line feed cannot be one cat-file request; read without a listing first it still
// gives the file's bytes, and no second request is smuggled in.
TEST_F(GitReaderTest, ANameWithALineFeedIsReadAsItsOwnFileOnly) {
    const std::string odd = "names/x\nHEAD:force-app/main/default/classes/A.cls";
    repo_->write(odd, "the odd file");
    repo_->commit_all("odd");
    const GitContentReader reader = at("HEAD");
    EXPECT_EQ(reader.read_file(odd), "the odd file");
    auto missing = reader.read_file("names/y\nHEAD:force-app/main/default/classes/A.cls");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().message(), kFileNotFoundSentence);
    // The child still answers the next request with the right file.
    EXPECT_EQ(reader.read_file("force-app/main/default/classes/A.cls-meta.xml"), "<meta/>");
}

// A name holding a carriage return is treated like one holding a line feed: listed first and read
// by its id, else missing. git would drop the carriage return from a request and answer another file.
TEST_F(GitReaderTest, ANameWithACarriageReturnIsReadAsItsOwnFileOnly) {
    repo_->write("names/plain", "the plain file");
    repo_->write("names/odd\r", "the odd file");
    repo_->commit_all("carriage return");
    for (const bool listed_first : {false, true}) {
        SCOPED_TRACE(listed_first ? "listed first" : "read alone");
        const GitContentReader reader = at("HEAD");
        if (listed_first) {
            ASSERT_TRUE(reader.ensure_listed("names"));
        }
        EXPECT_EQ(reader.read_file("names/odd\r"), "the odd file");
        auto missing = reader.read_file("names/plain\r");
        ASSERT_FALSE(missing);
        EXPECT_EQ(missing.error().message(), kFileNotFoundSentence);
        EXPECT_EQ(reader.read_file("names/plain"), "the plain file");
    }
}

// Names that are not UTF-8 are never listed (they could only be read or written under another name)
// and are counted once each, on both roads; a name that really holds U+FFFD is an ordinary name.
TEST_F(GitReaderTest, NamesThatAreNotUtf8AreSkippedAndCounted) {
    repo_->write("odd/Bad\xff" "File.cls", "class Bad {}");
    repo_->write("odd/caf\xe9.cls", "class Cafe {}");
    repo_->write("odd/Real\xEF\xBF\xBD.cls", "class Real {}");
    repo_->commit_all("odd names");
    for (const bool from_ref : {false, true}) {
        SCOPED_TRACE(from_ref ? "ref" : "working tree");
        const GitContentReader reader = from_ref ? at("HEAD") : working();
        auto files = reader.list_files("odd");
        ASSERT_TRUE(files) << files.error().message();
        EXPECT_EQ(*files, Files{"odd/Real\xEF\xBF\xBD.cls"});
        ASSERT_TRUE(reader.list_files(""));
        EXPECT_EQ(reader.names_not_utf8(), 2u);
        EXPECT_EQ(reader.read_file("odd/Real\xEF\xBF\xBD.cls"), "class Real {}");
        // The decoded name reads nothing: never another file's bytes under it.
        EXPECT_FALSE(reader.read_file("odd/Bad\xEF\xBF\xBD" "File.cls"));
    }
}

// A document above the size limit is refused, naming the file and the branch, before it is read.
TEST_F(GitReaderTest, ADocumentAboveTheSizeLimitIsRefusedOnBothRoads) {
    const std::string big(metadata_types::kMaxComponentDocumentBytes + 1, 'a');
    repo_->write("big/Huge.cls", big);
    repo_->write("big/Edge.cls", std::string(metadata_types::kMaxComponentDocumentBytes, 'b'));
    repo_->commit_all("big");
    for (const bool from_ref : {false, true}) {
        SCOPED_TRACE(from_ref ? "ref" : "working tree");
        const GitContentReader reader = from_ref ? GitContentReader(logged_.gateway, repo_->path(), "HEAD", "release")
                                                 : GitContentReader(logged_.gateway, repo_->path(), std::nullopt, "main");
        auto huge = reader.read_file("big/Huge.cls");
        ASSERT_FALSE(huge);
        EXPECT_EQ(huge.error().kind(), GitError::Kind::UnreadableDocument);
        EXPECT_EQ(huge.error().message(), std::string("big/Huge.cls in ") + (from_ref ? "release" : "main") +
                                              " is larger than 10 MB, the limit for one component document.");
        auto edge = reader.read_file("big/Edge.cls");
        ASSERT_TRUE(edge) << edge.error().message();
        EXPECT_EQ(edge->size(), metadata_types::kMaxComponentDocumentBytes);
    }
    // At a ref the size comes from the listing: the refused blob is never asked for.
    EXPECT_EQ(logged_.count("git cat-file"), 1u);
}

}  // namespace
}  // namespace ambrel::git
