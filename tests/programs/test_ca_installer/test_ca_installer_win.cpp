// vesk_test_ca_installer <certificate.der>
//
// Adds the DER-encoded certificate to the local machine's ROOT store (replacing an identical one already
// there), then reads it back from a freshly opened store to prove it is there. Exit code 0 on success, 1 on
// any failure, with one line saying what happened. Certificate checks stay exactly as strict as before: the
// certificate is simply one more root that chains may end in.

#include "core/handles_win.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using vesk::updater::UniqueHandle;

struct CertStoreTraits {
    using Value = HCERTSTORE;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value store) noexcept { ::CertCloseStore(store, 0); }
};
struct CertContextTraits {
    using Value = PCCERT_CONTEXT;
    static Value invalid() noexcept { return nullptr; }
    static void close(Value context) noexcept { ::CertFreeCertificateContext(context); }
};
using CertStore = UniqueHandle<CertStoreTraits>;
using CertContext = UniqueHandle<CertContextTraits>;

CertStore openMachineRoot() {
    return CertStore(
        ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT"));
}

int fail(const char* what) {
    std::printf("Could not trust the test CA: %s (error %lu)\n", what, ::GetLastError());
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("Usage: vesk_test_ca_installer <certificate.der>\n");
        return 1;
    }
    std::ifstream file(argv[1], std::ios::binary);
    const std::vector<BYTE> der{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
    if (!file.is_open() || der.empty()) {
        std::printf("Could not trust the test CA: cannot read %s\n", argv[1]);
        return 1;
    }

    {
        CertStore root = openMachineRoot();
        if (!root) {
            return fail("the machine root store cannot be opened");
        }
        CertContext added;
        if (!::CertAddEncodedCertificateToStore(root.get(), X509_ASN_ENCODING, der.data(),
                                                static_cast<DWORD>(der.size()),
                                                CERT_STORE_ADD_REPLACE_EXISTING, added.put())) {
            return fail("the certificate was not added to the machine root store");
        }
    }

    // Read back through a new store handle: what the next program's chain check will see.
    CertContext wanted(
        ::CertCreateCertificateContext(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size())));
    CertStore root = openMachineRoot();
    if (!wanted || !root) {
        return fail("the certificate cannot be read back");
    }
    CertContext found(::CertFindCertificateInStore(root.get(), X509_ASN_ENCODING, 0, CERT_FIND_EXISTING,
                                                   wanted.get(), nullptr));
    if (!found) {
        return fail("the certificate is missing from the machine root store after adding it");
    }
    char subject[256] = "";
    ::CertGetNameStringA(found.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, subject, sizeof(subject));
    std::printf("Trusted test CA \"%s\" in the machine root store\n", subject);
    return 0;
}
