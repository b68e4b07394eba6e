#include "tls_test_server_win.h"

#include "core/handles_win.h"
#include "support/wait_until.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <chrono>
#include <sstream>
#include <stdexcept>

namespace vesk::test {

using updater::ProcessHandles;

namespace {

const std::string kCertificates = VESK_HTTPS_CERTS;

std::vector<std::string> splitOn(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) {
        parts.push_back(part);
    }
    return parts;
}

std::string quoted(const std::string& argument) {
    return "\"" + argument + "\"";
}

// Starts commandLine with its output in outputPath; the process handles, or nothing when it did not start.
// Wine hands back no handles at all for a Unix program, which runs on its own.
bool startProcess(const std::string& commandLine, const std::string& outputPath, ProcessHandles& started) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    updater::FileHandle output(::CreateFileA(outputPath.c_str(), GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!output) {
        return false;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output.get();
    startup.hStdError = output.get();
    PROCESS_INFORMATION info{};
    std::string mutableLine = commandLine;
    if (!::CreateProcessA(nullptr, mutableLine.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                          nullptr, &startup, &info)) {
        return false;
    }
    started = ProcessHandles::adopt(info);
    return true;
}

} // namespace

std::string unixPathOf(const std::string& windowsPath) {
    using Convert = char*(__cdecl*)(const wchar_t*);
    const auto convert = reinterpret_cast<Convert>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (!convert) {
        throw std::runtime_error("the Unix TLS test server needs Wine");
    }
    const std::wstring wide(windowsPath.begin(), windowsPath.end());
    char* unixPath = convert(wide.c_str());
    if (!unixPath) {
        throw std::runtime_error("no Unix path for " + windowsPath);
    }
    std::string result = unixPath;
    ::HeapFree(::GetProcessHeap(), 0, unixPath);
    return result;
}

TlsTestServer::TlsTestServer(const std::vector<Listener>& listeners, const std::string& root)
    : control_(INVALID_SOCKET) {
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        throw std::runtime_error("WSAStartup failed");
    }
    const std::string certificates = unixPathOf(kCertificates);
    std::string command =
        quoted(VESK_PYTHON3_WIN) + " " + quoted(unixPathOf(VESK_TLS_TEST_SERVER)) + " --control --root " +
        quoted(unixPathOf(root)) + " --ready-file " + quoted(unixPathOf(dir_.file("ready"))) + " --log " +
        quoted(unixPathOf(dir_.file("log"))) + " --output " + quoted(unixPathOf(dir_.file("output")));
    for (const Listener& listener : listeners) {
        const std::string base = certificates + "/" + listener.certificate;
        command +=
            " --listen " + listener.name + " " + quoted(base + ".pem") + " " + quoted(base + ".key") + " 0";
    }
    ProcessHandles process;
    if (!startProcess(command, dir_.file("start-output"), process)) {
        throw std::runtime_error("cannot start " + command + " (error " + std::to_string(::GetLastError()) +
                                 ")");
    }
    if (!waitUntil([this] { return fileExists(dir_.file("ready")); }, std::chrono::seconds(30))) {
        throw std::runtime_error(
            "the TLS test server did not get ready within 30 s: " + readFileBytes(dir_.file("output")) +
            readFileBytes(dir_.file("start-output")));
    }
    std::uint16_t control = 0;
    for (const std::string& line : splitOn(readFileBytes(dir_.file("ready")), '\n')) {
        const std::vector<std::string> fields = splitOn(line, ' ');
        if (fields.size() == 2) {
            const auto port = static_cast<std::uint16_t>(std::stoi(fields[1]));
            (fields[0] == "control" ? control : ports_[fields[0]]) = port;
        }
    }
    const SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(control);
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    if (socket == INVALID_SOCKET ||
        ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        if (socket != INVALID_SOCKET) {
            ::closesocket(socket);
        }
        throw std::runtime_error("cannot reach the TLS test server's control port " +
                                 std::to_string(control));
    }
    control_ = socket;
}

TlsTestServer::~TlsTestServer() {
    ::closesocket(static_cast<SOCKET>(control_));
    ::WSACleanup();
}

std::string TlsTestServer::url(const std::string& listener, const std::string& path) const {
    return "https://localhost:" + std::to_string(port(listener)) + path;
}

std::vector<TlsServerEvent> TlsTestServer::events() const {
    std::vector<TlsServerEvent> events;
    for (const std::string& line : splitOn(readFileBytes(dir_.file("log")), '\n')) {
        std::vector<std::string> fields = splitOn(line, '\t');
        if (fields.size() >= 2) {
            events.push_back({fields[0], fields[1], {fields.begin() + 2, fields.end()}});
        }
    }
    return events;
}

unsigned long trustTestCa(std::string& output) {
    TempDir dir;
    ProcessHandles process;
    if (!startProcess(quoted(VESK_TEST_CA_INSTALLER) + " " + quoted(kCertificates + "\\ca.der"),
                      dir.file("output"), process) ||
        ::WaitForSingleObject(process.process.get(), 60000) != WAIT_OBJECT_0) {
        output = "the CA installer did not run to its end";
        return ~0ul;
    }
    DWORD code = ~0ul;
    ::GetExitCodeProcess(process.process.get(), &code);
    output = readFileBytes(dir.file("output"));
    return code;
}

} // namespace vesk::test
