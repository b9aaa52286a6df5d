// Trusts a root certificate in the Wine prefix it runs in, by adding it to
// the LocalMachine Root store (Wine's certutil -addstore is a stub that adds
// nothing). The tests trust their throwaway CA with it; anyone can trust an
// own test root the same way to try updates against a local server.
//   install_ca.exe <path of the certificate in DER form>
#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <cwchar>
#include <vector>

static bool ReadWholeFile(const wchar_t* path, std::vector<BYTE>& bytes) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    BYTE piece[4096];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, piece, sizeof piece, &got, nullptr)) {
            ok = false;
            break;
        }
        if (got == 0) break;
        bytes.insert(bytes.end(), piece, piece + got);
    }
    CloseHandle(file);
    return ok;
}

static const wchar_t Usage[] =
    L"usage: install_ca.exe <certificate.der>\n"
    L"Puts a root certificate (DER, e.g. openssl x509 -outform DER) into the machine's\n"
    L"trusted roots, the LocalMachine Root store, of the Wine prefix it runs in, so that\n"
    L"programs in that prefix trust TLS servers and Authenticode signatures that chain\n"
    L"to it. Wine's own \"certutil -addstore\" is a stub that adds nothing.\n"
    L"  WINEPREFIX=~/.wine wine install_ca.exe Z:\\home\\me\\pki\\ca.der\n"
    L"Exit code 0 when the certificate is in the store, 1 on a failure, 2 on a usage error.\n";

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && (wcscmp(argv[1], L"--help") == 0 || wcscmp(argv[1], L"-h") == 0 ||
                      wcscmp(argv[1], L"/?") == 0)) {
        fputws(Usage, stdout);
        return 0;
    }
    if (argc != 2 || argv[1][0] == L'-') {
        fputws(Usage, stderr);
        return 2;
    }
    std::vector<BYTE> der;
    if (!ReadWholeFile(argv[1], der) || der.empty()) {
        fwprintf(stderr, L"install_ca: cannot read %ls (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                     CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
    if (store == nullptr) {
        fwprintf(stderr, L"install_ca: CertOpenStore failed (error %lu)\n", GetLastError());
        return 1;
    }
    BOOL added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                                  static_cast<DWORD>(der.size()),
                                                  CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    DWORD error = GetLastError();
    CertCloseStore(store, 0);
    if (!added) {
        fwprintf(stderr, L"install_ca: CertAddEncodedCertificateToStore failed (error %lu)\n",
                 error);
        return 1;
    }
    return 0;
}
