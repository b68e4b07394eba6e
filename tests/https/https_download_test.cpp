// The program's own downloads over https://localhost against a loopback TLS server, through the real
// WinHTTP stack and the real certificate checks of the Wine prefix: the prefix trusts the test CA (added to
// the machine root store by the CA installer program), and nothing else is relaxed.

#include "tls_test_server_win.h"

#include "support/wait_until.h"
#include "transfer/fallback_download.h"
#include "transfer/http_download.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace vesk::updater {
namespace {

using test::readFileBytes;
using test::TempDir;
using test::TlsServerEvent;
using test::TlsTestServer;

const std::string kRelease = "updates/2.1.345/";
const std::string kManifest = R"({"manifest":{"version":"2.1","build":345,"files":[]}})";
const std::string kPlainFile = std::string("MZ libcurl.dll over TLS\0with a zero byte", 40);

enum class Fetch { Manifest, File };

struct HttpsCase {
    const char* name;
    const char* listener;
    Fetch fetch;
    // The manifest's path, or the file's location relative to the base URL.
    std::string target;
    // The bytes a successful download yields; empty when the download has to fail.
    std::string expected;
    // Every request the server has to see, as "path status"; none when the certificate is refused.
    std::vector<std::string> requests;
};

class HttpsDownload : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string output;
        const unsigned long code = test::trustTestCa(output);
        ASSERT_EQ(code, 0ul) << output;
        ASSERT_NE(output.find("Trusted test CA \"VESK test CA\" in the machine root store"),
                  std::string::npos)
            << output;

        root = std::make_unique<TempDir>();
        ASSERT_TRUE(::CreateDirectoryA(root->file("updates").c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryA(root->file(kRelease).c_str(), nullptr));
        ASSERT_TRUE(test::writeFileBytes(root->file("manifest.json"), kManifest));
        ASSERT_TRUE(test::writeFileBytes(root->file(kRelease + "libcurl.dll"), kPlainFile));
        ASSERT_TRUE(
            test::writeFileBytes(root->file(kRelease + "Updater.exe.zip"),
                                 readFileBytes(std::string(VESK_HTTPS_ARCHIVE) + "\\Updater.exe.zip")));
        server = std::make_unique<TlsTestServer>(
            std::vector<TlsTestServer::Listener>{
                {"trusted", "localhost"}, {"untrusted", "rogue"}, {"other-host", "other-host"}},
            root->path());
    }

    static void TearDownTestSuite() {
        server.reset();
        root.reset();
    }

    static std::unique_ptr<TempDir> root;
    static std::unique_ptr<TlsTestServer> server;
};

std::unique_ptr<TempDir> HttpsDownload::root;
std::unique_ptr<TlsTestServer> HttpsDownload::server;

std::vector<TlsServerEvent> eventsOf(const std::vector<TlsServerEvent>& all, std::size_t from,
                                     const std::string& listener, const std::string& kind) {
    std::vector<TlsServerEvent> found;
    for (std::size_t i = from; i < all.size(); ++i) {
        if (all[i].listener == listener && all[i].kind == kind) {
            found.push_back(all[i]);
        }
    }
    return found;
}

TEST_F(HttpsDownload, FetchesOnlyFromACertifiedLocalhost) {
    const std::string archived = "Updater.exe as packed for the HTTPS tests\n";
    const std::vector<HttpsCase> cases = {
        {"manifest", "trusted", Fetch::Manifest, "/manifest.json", kManifest, {"/manifest.json 200"}},
        {"plain file after the missing archive",
         "trusted",
         Fetch::File,
         kRelease + "libcurl.dll",
         kPlainFile,
         {"/" + kRelease + "libcurl.dll.zip 404", "/" + kRelease + "libcurl.dll 200"}},
        {"file from its archive",
         "trusted",
         Fetch::File,
         kRelease + "Updater.exe",
         archived,
         {"/" + kRelease + "Updater.exe.zip 200"}},
        {"manifest from an untrusted CA", "untrusted", Fetch::Manifest, "/manifest.json", "", {}},
        {"file from an untrusted CA", "untrusted", Fetch::File, kRelease + "Updater.exe", "", {}},
        {"manifest with another host's certificate", "other-host", Fetch::Manifest, "/manifest.json", "", {}},
        {"file with another host's certificate", "other-host", Fetch::File, kRelease + "libcurl.dll", "", {}},
    };
    ASSERT_TRUE(server);
    for (const HttpsCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = server->events().size();
        const std::string base = server->url(c.listener);
        std::string fetched;
        bool succeeded = false;
        std::vector<std::string> attempted;
        if (c.fetch == Fetch::Manifest) {
            fetched = downloadToString(base + c.target);
            succeeded = !fetched.empty();
        } else {
            std::string localPath;
            succeeded = downloadWithFallback({base}, c.target, c.target.substr(kRelease.size()), localPath,
                                             attempted);
            if (succeeded) {
                fetched = readFileBytes(localPath);
                EXPECT_TRUE(::DeleteFileA(localPath.c_str()));
            }
        }

        const bool refused = c.expected.empty();
        EXPECT_EQ(succeeded, !refused);
        EXPECT_EQ(fetched, c.expected);
        if (c.fetch == Fetch::File && refused) {
            // Both candidates were tried, and neither reached the server.
            EXPECT_EQ(attempted,
                      (std::vector<std::string>{base + "/" + c.target + ".zip", base + "/" + c.target}));
        }
        std::vector<std::string> served;
        for (const TlsServerEvent& request : eventsOf(server->events(), before, c.listener, "request")) {
            ASSERT_EQ(request.fields.size(), 4u);
            served.push_back(request.fields[0] + " " + request.fields[1]);
            EXPECT_EQ(request.fields[2].rfind("TLSv1.", 0), 0u) << request.fields[2];
            EXPECT_EQ(request.fields[3].rfind("Downloader/1.0", 0), 0u) << request.fields[3];
        }
        EXPECT_EQ(served, c.requests);
        // A refused download did reach the server: the client turned the certificate down, nothing else did.
        EXPECT_TRUE(test::waitUntil([&] {
            return eventsOf(server->events(), before, c.listener, "connection").size() >=
                   std::max<std::size_t>(1, c.requests.size());
        }));
    }
}

} // namespace
} // namespace vesk::updater
