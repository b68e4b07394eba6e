// Publishing into a tree that machines are reading: the real executable on real folders. What it refuses
// against the live manifests (nothing changed then), and what a publish killed at each of its steps leaves.

#include "native_support.h"

#include "rsa_keys.h"

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>

using namespace vesk::release;
using namespace vesk::release::test;

namespace {

// Two key pairs as keygen writes them: <name>.pem and <name>.pub.txt.
const fs::path& keyFolder() {
    static ScratchDir keys;
    static const bool made = [] {
        for (const std::string name : {"live", "next"}) {
            RsaKeyPairPem pem;
            RsaPrivateKey key;
            std::string error;
            if (!generateRsaKeyPair(2048, pem, error) || !key.load(pem.privatePem, name, error)) {
                throw std::runtime_error(error);
            }
            writeBytes(keys / (name + ".pem"), pem.privatePem);
            writeBytes(keys / (name + ".pub.txt"), key.publicKeyForUpdater() + "\n");
        }
        return true;
    }();
    return made ? keys.path() : keys.path();
}

std::string key(const std::string& file) {
    return (keyFolder() / file).string();
}

void makeRelease(const fs::path& folder) {
    writeBytes(folder / "Updater.exe", noiseBytes(20000, 1));
    writeBytes(folder / "libcurl.dll", noiseBytes(9000, 2));
    writeBytes(folder / "libsodium.dll", noiseBytes(8192, 3));
    writeBytes(folder / "zlib1.dll", std::string(8193, 'z'));
    writeBytes(folder / "data" / "core.pak", std::string(30000, 'p'));
}

struct Tree {
    ScratchDir dir;
    std::string output;
    std::string release() const { return (dir / "release").string(); }
    std::string server() const { return (dir / "server").string(); }
    // Publishes the release folder as version 2.0 with build and extra options; returns the wait status.
    int publish(const std::string& build, std::vector<std::string> extra, std::vector<std::string> env = {}) {
        std::vector<std::string> args = {"publish", "--from", release(), "--version", "2.0", "--build", build,
                                         "--out", server()};
        args.insert(args.end(), extra.begin(), extra.end());
        const int status = runToolProcess(args, env, dir / "output.txt");
        output = readBytes(dir / "output.txt");
        return status;
    }
};

int exitCode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Hidden work folders and temporary manifests: what an interrupted publish leaves behind.
std::vector<std::string> leftovers(const fs::path& server) {
    std::vector<std::string> found;
    for (const auto& [folder, prefix] : {std::pair{server, std::string("manifest")},
                                         std::pair{server / "updates", std::string(".")}}) {
        for (const auto& item : fs::directory_iterator(folder)) {
            const std::string name = item.path().filename().string();
            if (name.rfind(prefix, 0) == 0 && (prefix == "." || name.find(".tmp-") != std::string::npos)) {
                found.push_back(name);
            }
        }
    }
    return found;
}

} // namespace

// Each row starts from stable and beta both publishing 2.0.10, signed with the live key.
TEST(LiveTree, PublishGuards) {
    struct Row {
        const char* name;
        std::function<void(Tree&)> prepare;
        std::string build;
        std::vector<std::string> options;
        int exit;
        const char* says;
    };
    const std::vector<Row> rows = {
        {"unsigned over signed", {}, "11", {}, 1, "--allow-unsigned"},
        {"unsigned over signed on purpose", {}, "11", {"--allow-unsigned"}, 0, "(unsigned)"},
        {"key nothing vouches for", {}, "11", {"--key", key("next.pem")}, 1, "--key-succession"},
        {"key the chain vouches for",
         [](Tree& t) {
             ASSERT_EQ(exitCode(runToolProcess({"succession", "--key", key("live.pem"), "--new-key",
                                                key("next.pub.txt"), "--chain", (t.dir / "chain.json").string()},
                                               {}, t.dir / "succession.txt")),
                       0)
                 << readBytes(t.dir / "succession.txt");
         },
         "11",
         {"--key", key("next.pem"), "--key-succession", "CHAIN"},
         0,
         "(signed)"},
        {"not newer", {}, "9", {"--key", key("live.pem")}, 1, "--allow-older"},
        {"older on purpose", {}, "9", {"--key", key("live.pem"), "--allow-older"}, 0, "(signed)"},
        {"same release signed again", {}, "10", {"--key", key("live.pem"), "--replace", "--allow-older"}, 1,
         "publish a higher build"},
        {"core file missing", [](Tree& t) { fs::remove(t.dir / "release" / "zlib1.dll"); }, "11",
         {"--key", key("live.pem")}, 1, "--allow-missing-core"},
        {"core file missing on purpose", [](Tree& t) { fs::remove(t.dir / "release" / "libsodium.dll"); }, "11",
         {"--key", key("live.pem"), "--allow-missing-core"}, 0, "(signed)"},
        {"symbolic link", [](Tree& t) { fs::create_symlink("/etc/passwd", t.dir / "release" / "passwd"); }, "11",
         {"--key", key("live.pem")}, 1, "symbolic link"},
        {"special file", [](Tree& t) { ASSERT_EQ(::mkfifo((t.dir / "release" / "pipe").c_str(), 0600), 0); },
         "11", {"--key", key("live.pem")}, 1, "not a plain file"},
        {"hidden files", [](Tree& t) { writeBytes(t.dir / "release" / ".git" / "HEAD", "x"); }, "11",
         {"--key", key("live.pem")}, 0, "Left out hidden file .git\n"},
        {"replace a folder another channel lists",
         [](Tree& t) { writeBytes(t.dir / "release" / "Updater.exe", "changed"); }, "10",
         {"--key", key("live.pem"), "--channel", "gamma", "--replace"}, 1, "still named by manifest-beta.json"},
        {"other files under a published release",
         [](Tree& t) { writeBytes(t.dir / "release" / "Updater.exe", "changed"); }, "10",
         {"--key", key("live.pem"), "--channel", "gamma"}, 1, "already published with other files"},
        {"same files offered on one more channel", {}, "10", {"--key", key("live.pem"), "--channel", "gamma"}, 0,
         "(already there with the same files)"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Tree tree;
        makeRelease(tree.dir / "release");
        ASSERT_EQ(exitCode(tree.publish("10", {"--key", key("live.pem")})), 0) << tree.output;
        ASSERT_EQ(exitCode(tree.publish("10", {"--key", key("live.pem"), "--channel", "beta"})), 0) << tree.output;
        if (row.prepare) {
            row.prepare(tree);
        }
        std::vector<std::string> options = row.options;
        for (std::string& option : options) {
            option = option == "CHAIN" ? (tree.dir / "chain.json").string() : option;
        }
        const auto before = treeSnapshot(tree.dir / "server");
        EXPECT_EQ(exitCode(tree.publish(row.build, options)), row.exit) << tree.output;
        EXPECT_NE(tree.output.find(row.says), std::string::npos) << tree.output;
        if (row.exit != 0) {
            // One line, and not a byte of the tree changed.
            EXPECT_EQ(std::count(tree.output.begin(), tree.output.end(), '\n'), 1) << tree.output;
            EXPECT_TRUE(treeSnapshot(tree.dir / "server") == before);
        }
        EXPECT_EQ(manifestProblems(tree.dir / "server"), std::vector<std::string>{});
    }
}

// A publish killed at each of its steps: every manifest still names files that are there and match, and
// the next publish removes what the killed one left.
TEST(LiveTree, KilledPublish) {
    struct Row {
        const char* step;
        bool replace; // an unsigned channel whose release is published again with one more file
    };
    std::vector<Row> rows;
    for (const bool replace : {false, true}) {
        for (const char* step : {"staging", "staged", "folder-in-place", "manifest-written", "manifest-in-place"}) {
            rows.push_back({step, replace});
        }
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.step) + (row.replace ? ", replacing" : ", new build"));
        Tree tree;
        makeRelease(tree.dir / "release");
        const std::vector<std::string> signing =
            row.replace ? std::vector<std::string>{} : std::vector<std::string>{"--key", key("live.pem")};
        ASSERT_EQ(exitCode(tree.publish("10", signing)), 0) << tree.output;
        std::vector<std::string> beta = signing;
        beta.insert(beta.end(), {"--channel", "beta"});
        if (!row.replace) {
            ASSERT_EQ(exitCode(tree.publish("10", beta)), 0) << tree.output;
        }
        std::vector<std::string> options = signing;
        std::string build = "11";
        if (row.replace) {
            writeBytes(tree.dir / "release" / "notes.txt", "added later");
            options = {"--replace", "--allow-older"};
            build = "10";
        }
        const int status = tree.publish(build, options, {std::string("VESK_RELEASE_STOP_AT=") + row.step});
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << tree.output;
        EXPECT_EQ(manifestProblems(tree.dir / "server"), std::vector<std::string>{});

        ASSERT_EQ(exitCode(tree.publish("12", signing)), 0) << tree.output;
        EXPECT_EQ(leftovers(tree.dir / "server"), std::vector<std::string>{});
        EXPECT_EQ(manifestProblems(tree.dir / "server"), std::vector<std::string>{});
    }
}
