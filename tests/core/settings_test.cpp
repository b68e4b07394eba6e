// Settings read from the real registry of the Wine prefix; every value a test sets is put back afterwards.

#include "core/settings.h"

#include "core/handles_win.h"
#include "core/logger.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <vector>

using vesk::updater::buildFileUrl;
using vesk::updater::getBaseUrls;
using vesk::updater::getInstallDirectory;
using vesk::updater::getManifestUrl;
using vesk::updater::manifestUrlFor;
using vesk::updater::splitBaseUrlsValue;
using Urls = std::vector<std::string>;

namespace {

const std::string kDefault = VESK_TEST_DEFAULT_BASE_URL;
const char* const kInstallKey = "SOFTWARE\\Corvanne\\VESK";
const char* const kUpdaterKey = "SOFTWARE\\VESK\\Updater";
const std::string kWarning =
    "Could not read install directory from registry, using default: C:\\Program Files\\VESK";

// Owns one HKLM value for a test: remembers what was there (and which keys of the path did not exist yet),
// lets the test write or remove it, and puts everything back on destruction.
class ScopedRegistryValue {
public:
    ScopedRegistryValue(std::string subkey, std::string name)
        : subkey_(std::move(subkey)), name_(std::move(name)) {
        for (std::size_t separator = 0; separator != std::string::npos;) {
            separator = subkey_.find('\\', separator + 1);
            const std::string prefix = subkey_.substr(0, separator);
            vesk::updater::RegKey probe;
            if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, prefix.c_str(), 0, KEY_READ, probe.put()) !=
                ERROR_SUCCESS) {
                createdKeys_.insert(createdKeys_.begin(), prefix); // deepest first
            }
        }
        vesk::updater::RegKey key;
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey_.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS) {
            DWORD type = 0;
            DWORD size = 0;
            if (::RegQueryValueExA(key.get(), name_.c_str(), nullptr, &type, nullptr, &size) ==
                ERROR_SUCCESS) {
                std::string data(size, '\0');
                ::RegQueryValueExA(key.get(), name_.c_str(), nullptr, &type,
                                   reinterpret_cast<BYTE*>(data.data()), &size);
                saved_ = std::make_pair(type, data.substr(0, size));
            }
        }
        remove();
    }
    ~ScopedRegistryValue() {
        if (saved_) {
            write(saved_->second, saved_->first);
        } else {
            remove();
            for (const std::string& key : createdKeys_) {
                ::RegDeleteKeyA(HKEY_LOCAL_MACHINE, key.c_str());
            }
        }
    }
    ScopedRegistryValue(const ScopedRegistryValue&) = delete;
    ScopedRegistryValue& operator=(const ScopedRegistryValue&) = delete;

    // Stores bytes exactly as given (a string value's NUL must be part of them).
    bool write(const std::string& bytes, DWORD type) {
        vesk::updater::RegKey key;
        if (::RegCreateKeyExA(HKEY_LOCAL_MACHINE, subkey_.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              key.put(), nullptr) != ERROR_SUCCESS) {
            return false;
        }
        return ::RegSetValueExA(key.get(), name_.c_str(), 0, type,
                                reinterpret_cast<const BYTE*>(bytes.data()),
                                static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
    }
    bool writeString(const std::string& text) { return write(text + '\0', REG_SZ); }

    void remove() {
        vesk::updater::RegKey key;
        if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, subkey_.c_str(), 0, KEY_WRITE, key.put()) == ERROR_SUCCESS) {
            ::RegDeleteValueA(key.get(), name_.c_str());
        }
    }

private:
    std::string subkey_;
    std::string name_;
    std::optional<std::pair<DWORD, std::string>> saved_;
    std::vector<std::string> createdKeys_;
};

// The lines the process log gained while calling action, without their time stamps.
template <typename Action> std::vector<std::string> newLogLines(Action action) {
    const std::string path = vesk::updater::logger().path();
    const std::size_t before = vesk::test::readFileBytes(path).size();
    action();
    const std::string added = vesk::test::readFileBytes(path).substr(before);
    std::vector<std::string> lines;
    static const std::regex stamp(R"(^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\] )");
    for (std::size_t start = 0; start < added.size();) {
        std::size_t end = added.find("\r\n", start);
        if (end == std::string::npos) {
            end = added.size();
        }
        lines.push_back(std::regex_replace(added.substr(start, end - start), stamp, ""));
        start = end + 2;
    }
    return lines;
}

} // namespace

TEST(BaseUrlsValue, SplitsAtSemicolonsSkippingEmptyPieces) {
    EXPECT_EQ(splitBaseUrlsValue(";https://a.example;;https://b.example;"),
              (Urls{"https://a.example", "https://b.example"}));
    EXPECT_EQ(splitBaseUrlsValue(" https://a.example ;https://b.example/ "),
              (Urls{" https://a.example ", "https://b.example/ "}));
    EXPECT_EQ(splitBaseUrlsValue("https://only.example"), (Urls{"https://only.example"}));
    EXPECT_EQ(splitBaseUrlsValue("x;x"), (Urls{"x", "x"}));
    EXPECT_EQ(splitBaseUrlsValue(""), Urls{});
    EXPECT_EQ(splitBaseUrlsValue(";;;"), Urls{});
    EXPECT_EQ(splitBaseUrlsValue("a;"), (Urls{"a"}));
    EXPECT_EQ(splitBaseUrlsValue(";a"), (Urls{"a"}));
}

TEST(ManifestUrl, ChannelNamesAndBase) {
    const Urls bases{"https://main.example", "https://mirror.example"};
    EXPECT_EQ(manifestUrlFor("", bases), "https://main.example/manifest.json");
    EXPECT_EQ(manifestUrlFor("stable", bases), "https://main.example/manifest.json");
    EXPECT_EQ(manifestUrlFor("beta", bases), "https://main.example/manifest-beta.json");
    EXPECT_EQ(manifestUrlFor("Stable", bases), "https://main.example/manifest-Stable.json");
    EXPECT_EQ(manifestUrlFor("stable ", bases), "https://main.example/manifest-stable .json");
    EXPECT_EQ(manifestUrlFor("beta", {}), kDefault + "/manifest-beta.json");
    EXPECT_EQ(manifestUrlFor("", {}), kDefault + "/manifest.json");
}

TEST(FileUrl, VersionBuildAndName) {
    const Urls bases{"https://main.example", "https://mirror.example"};
    EXPECT_EQ(buildFileUrl("2.1", "345", bases, "Updater.exe"),
              "https://main.example/updates/2.1.345/Updater.exe");
    EXPECT_EQ(buildFileUrl("2.1", "345", {}, "zlib1.dll"), kDefault + "/updates/2.1.345/zlib1.dll");
    EXPECT_EQ(buildFileUrl("2.1", "", bases, "Updater.exe"), "");
    EXPECT_EQ(buildFileUrl("", "345", bases, "Updater.exe"), "");
}

TEST(BaseUrlsRegistry, DefaultAloneWithoutTheValue) {
    ScopedRegistryValue value(kUpdaterKey, "BaseUrls");
    EXPECT_EQ(getBaseUrls(), Urls{kDefault});
}

TEST(BaseUrlsRegistry, EntriesFollowTheDefaultAsWritten) {
    ScopedRegistryValue value(kUpdaterKey, "BaseUrls");
    ASSERT_TRUE(value.writeString(";https://a.example;;https://b.example/;"));
    EXPECT_EQ(getBaseUrls(), (Urls{kDefault, "https://a.example", "https://b.example/"}));

    ASSERT_TRUE(value.writeString(" https://a.example;" + kDefault));
    EXPECT_EQ(getBaseUrls(), (Urls{kDefault, " https://a.example", kDefault}));

    ASSERT_TRUE(value.writeString(""));
    EXPECT_EQ(getBaseUrls(), Urls{kDefault});
}

TEST(BaseUrlsRegistry, OnlyTheFirstStringOfAMultiStringCounts) {
    ScopedRegistryValue value(kUpdaterKey, "BaseUrls");
    ASSERT_TRUE(value.write(std::string("https://a.example\0https://b.example\0\0", 37), REG_MULTI_SZ));
    EXPECT_EQ(getBaseUrls(), (Urls{kDefault, "https://a.example"}));
}

TEST(BaseUrlsRegistry, ValueThatDoesNotFitTheBufferIsIgnoredWhole) {
    ScopedRegistryValue value(kUpdaterKey, "BaseUrls");
    // 2047 characters and the NUL fill the 2048-byte buffer exactly and are still read.
    const std::string fits = "https://a.example;" + std::string(2047 - 18, 'f');
    ASSERT_EQ(fits.size(), 2047u);
    ASSERT_TRUE(value.writeString(fits));
    EXPECT_EQ(getBaseUrls(), (Urls{kDefault, "https://a.example", fits.substr(18)}));

    ASSERT_TRUE(value.writeString("https://a.example;" + std::string(2048 - 18, 'f')));
    EXPECT_EQ(getBaseUrls(), Urls{kDefault});

    // 2048 bytes without any NUL leave no terminator in the buffer: refused, never read past.
    ASSERT_TRUE(value.write("https://a.example;" + std::string(2048 - 18, 'g'), REG_BINARY));
    EXPECT_EQ(getBaseUrls(), Urls{kDefault});
}

TEST(BaseUrlsRegistry, RegistryEntriesNeverMoveTheManifest) {
    ScopedRegistryValue value(kUpdaterKey, "BaseUrls");
    ASSERT_TRUE(value.writeString("https://mirror.example"));
    EXPECT_EQ(getManifestUrl(""), kDefault + "/manifest.json");
    EXPECT_EQ(getManifestUrl("beta"), kDefault + "/manifest-beta.json");
}

TEST(InstallDirectoryRegistry, ValueIsUsedWithoutWarning) {
    ScopedRegistryValue value(kInstallKey, "InstallPath");
    ASSERT_TRUE(value.writeString("D:\\Games\\VESK"));
    std::string directory;
    EXPECT_EQ(newLogLines([&] { directory = getInstallDirectory(); }), std::vector<std::string>{});
    EXPECT_EQ(directory, "D:\\Games\\VESK");

    // Past 260 characters: a long install folder is used as it is, never swapped for the default.
    const std::string longFolder = "C:\\" + std::string(200, 'd') + "\\" + std::string(100, 'e');
    ASSERT_TRUE(value.writeString(longFolder));
    EXPECT_EQ(getInstallDirectory(), longFolder);
}

TEST(InstallDirectoryRegistry, MissingEmptyOrOversizedValueGivesDefaultAndWarning) {
    ScopedRegistryValue value(kInstallKey, "InstallPath");
    const std::vector<std::string> expected{"[WARNING] [] " + kWarning};
    std::string directory;

    EXPECT_EQ(newLogLines([&] { directory = getInstallDirectory(); }), expected);
    EXPECT_EQ(directory, "C:\\Program Files\\VESK");

    ASSERT_TRUE(value.writeString(""));
    EXPECT_EQ(newLogLines([&] { directory = getInstallDirectory(); }), expected);
    EXPECT_EQ(directory, "C:\\Program Files\\VESK");

    // Longer than any Windows path can be.
    ASSERT_TRUE(value.write(std::string(32767 * 3, 'e'), REG_BINARY));
    EXPECT_EQ(newLogLines([&] { directory = getInstallDirectory(); }), expected);
    EXPECT_EQ(directory, "C:\\Program Files\\VESK");
}

TEST(OwnExecutableHash, IsTheDigestOfThisExecutableAndStaysTheSame) {
    char path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string digest = vesk::test::readFileBytes(std::string(path, length) + ".sha256");
    ASSERT_EQ(digest.size(), 64u);
    EXPECT_EQ(vesk::updater::getOwnExecutableHash(), digest);
    EXPECT_EQ(vesk::updater::getOwnExecutableHash(), digest);
}
