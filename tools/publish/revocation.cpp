// fwstack-publish: revocation of the certificates that signed a release,
// against the CRLs they name (fetched with libcurl) or CRL files given offline.
#include <curl/curl.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <iostream>
#include <memory>

#include "tools/publish/release_tool.h"

// NOTE: the client asks WinVerifyTrust for WTD_REVOKE_WHOLECHAIN with
// WTD_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT: every certificate of the signer's
// chain but the root is checked, which is what this file checks too. Microsoft
// documents a revocation status that cannot be learned as an error of the
// chain, not as a pass: CERT_TRUST_STATUS lists CERT_TRUST_REVOCATION_STATUS_UNKNOWN
// (0x40, "the revocation status of the certificate or one of the certificates
// in the certificate chain is unknown") and CERT_TRUST_IS_OFFLINE_REVOCATION
// (0x01000000, offline or stale) among its dwErrorStatus bits, and the
// certificate and trust return values include CRYPT_E_NO_REVOCATION_CHECK
// (0x80092012, "the revocation function was unable to check revocation for
// the certificate") and CRYPT_E_REVOCATION_OFFLINE (0x80092013, the revocation
// server is offline). A client whose CRL cannot be fetched, or whose chain
// holds a certificate that names no CRL, is therefore to expect a non-zero
// verify result, which it reports as "the download is not signed". Wine checks no revocation at
// all and shows none of this; only this check catches it before users do.
// The timestamp's own chain is not checked here.

namespace {

struct FreeCrl { void operator()(X509_CRL* p) const { X509_CRL_free(p); } };
struct FreePkcs7 { void operator()(PKCS7* p) const { PKCS7_free(p); } };
struct FreeStore { void operator()(X509_STORE* p) const { X509_STORE_free(p); } };
struct FreeStoreContext { void operator()(X509_STORE_CTX* p) const { X509_STORE_CTX_free(p); } };
struct FreeBio { void operator()(BIO* p) const { BIO_free(p); } };
using Crl = std::unique_ptr<X509_CRL, FreeCrl>;

// A CRL and where it came from, for the messages.
struct CrlSource {
    Crl crl;
    std::string from;
};

constexpr u64 MaxCrlBytes = 16 * 1024 * 1024;

u32 ReadLe(const std::vector<u8>& file, u64 at, u32 bytes) {
    u32 value = 0;
    for (u32 i = 0; i < bytes; ++i) value |= static_cast<u32>(file[at + i]) << (8 * i);
    return value;
}

// The PKCS#7 signed data in the PE certificate table (data directory 4, whose
// address is a file offset); empty when there is none.
std::string SignatureBytes(const std::vector<u8>& file) {
    if (file.size() < 0x40) return {};
    const u64 pe = ReadLe(file, 0x3C, 4);
    if (pe + 24 + 2 > file.size() || ReadLe(file, pe, 4) != 0x00004550) return {};
    const u64 optional = pe + 24;
    const u32 magic = ReadLe(file, optional, 2);
    const u64 directories = optional + (magic == 0x20B ? 112 : magic == 0x10B ? 96 : 0);
    if (directories == optional || directories + 5 * 8 > file.size()) return {};
    if (ReadLe(file, directories - 4, 4) < 5) return {};  // NumberOfRvaAndSizes
    const u64 table = ReadLe(file, directories + 4 * 8, 4);
    const u64 size = ReadLe(file, directories + 4 * 8 + 4, 4);
    if (size < 8 || table + size > file.size()) return {};
    const u64 length = ReadLe(file, table, 4);
    // WIN_CERTIFICATE: length, revision, type 2 (PKCS#7 signed data), the bytes.
    if (length < 8 || length > size || ReadLe(file, table + 6, 2) != 2) return {};
    return std::string(reinterpret_cast<const char*>(file.data()) + table + 8, length - 8);
}

std::string CommonName(X509_NAME* name) {
    char text[256] = {};
    if (X509_NAME_get_text_by_NID(name, NID_commonName, text, sizeof text) < 0) return "?";
    return text;
}

std::string Describe(X509* certificate) {
    std::string serial = "?";
    if (BIGNUM* number = ASN1_INTEGER_to_BN(X509_get0_serialNumber(certificate), nullptr)) {
        if (char* hex = BN_bn2hex(number)) {
            serial = hex;
            OPENSSL_free(hex);
        }
        BN_free(number);
    }
    return "the certificate \"" + CommonName(X509_get_subject_name(certificate)) +
           "\" (serial " + serial + ")";
}

std::string TimeText(const ASN1_TIME* time) {
    tm parts = {};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) return "an unknown date";
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

// RFC 5280's CRLReason names; 7 is not used.
std::string ReasonText(long code) {
    constexpr const char* names[] = {
        "unspecified", "keyCompromise", "cACompromise", "affiliationChanged", "superseded",
        "cessationOfOperation", "certificateHold", "?", "removeFromCRL", "privilegeWithdrawn",
        "aACompromise"};
    if (code < 0 || code >= static_cast<long>(sizeof names / sizeof names[0])) return "?";
    return names[code];
}

// The http(s) addresses of the certificate's CRL distribution points.
std::vector<std::string> CrlAddresses(X509* certificate) {
    std::vector<std::string> addresses;
    auto* points = static_cast<STACK_OF(DIST_POINT)*>(
        X509_get_ext_d2i(certificate, NID_crl_distribution_points, nullptr, nullptr));
    for (int i = 0; points != nullptr && i < sk_DIST_POINT_num(points); ++i) {
        const DIST_POINT* point = sk_DIST_POINT_value(points, i);
        if (point->distpoint == nullptr || point->distpoint->type != 0) continue;
        const GENERAL_NAMES* names = point->distpoint->name.fullname;
        for (int j = 0; j < sk_GENERAL_NAME_num(names); ++j) {
            const GENERAL_NAME* name = sk_GENERAL_NAME_value(names, j);
            if (name->type != GEN_URI) continue;
            const ASN1_IA5STRING* uri = name->d.uniformResourceIdentifier;
            addresses.emplace_back(reinterpret_cast<const char*>(ASN1_STRING_get0_data(uri)),
                                   static_cast<size_t>(ASN1_STRING_length(uri)));
        }
    }
    sk_DIST_POINT_pop_free(points, DIST_POINT_free);
    return addresses;
}

// Every CRL in bytes: one or more PEM blocks, or one DER CRL.
void ParseCrls(const std::string& bytes, const std::string& from, std::vector<CrlSource>* out) {
    const size_t before = out->size();
    std::unique_ptr<BIO, FreeBio> bio(BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    while (X509_CRL* crl = PEM_read_bio_X509_CRL(bio.get(), nullptr, nullptr, nullptr)) {
        out->push_back({Crl(crl), from});
    }
    if (out->size() == before) {
        const unsigned char* der = reinterpret_cast<const unsigned char*>(bytes.data());
        if (X509_CRL* crl = d2i_X509_CRL(nullptr, &der, static_cast<long>(bytes.size()))) {
            out->push_back({Crl(crl), from});
        }
    }
}

size_t TakeCrl(char* data, size_t size, size_t count, void* context) {
    std::string* body = static_cast<std::string*>(context);
    if (body->size() + size * count > MaxCrlBytes) return 0;
    body->append(data, size * count);
    return size * count;
}

// GET address into body; the transport's or the server's failure, empty on 200.
std::string FetchCrl(const std::string& address, std::string* body) {
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return "libcurl could not start";
    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 15L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, TakeCrl);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, body);
    const CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    if (code != CURLE_OK) return error[0] != '\0' ? error : curl_easy_strerror(code);
    if (status != 200) return "status " + std::to_string(status);
    return {};
}

// The CRL among crls that issuer signed, or null.
const CrlSource* CrlOf(X509* issuer, const std::vector<CrlSource>& crls) {
    for (const CrlSource& source : crls) {
        if (X509_NAME_cmp(X509_CRL_get_issuer(source.crl.get()), X509_get_subject_name(issuer)) == 0 &&
            X509_CRL_verify(source.crl.get(), X509_get0_pubkey(issuer)) == 1) {
            return &source;
        }
    }
    return nullptr;
}

// One certificate below the root against its issuer's CRL; 0 or 1 after Fail.
int CheckCertificate(const std::string& name, X509* certificate, X509* issuer,
                     const std::vector<CrlSource>& offline, bool haveOffline) {
    const std::string who = Describe(certificate);
    const std::string issuerName = "\"" + CommonName(X509_get_subject_name(issuer)) + "\"";
    const std::vector<std::string> addresses = CrlAddresses(certificate);
    if (addresses.empty()) {
        return Fail(name + ": " + who + " names no CRL distribution point, so its revocation "
                    "cannot be checked, and a client on Windows, which checks the whole chain, "
                    "cannot check it either; sign with a certificate from a CA that publishes "
                    "CRLs, give its CA's CRL with --crl FILE, or, for a test PKI whose "
                    "certificates name no CRL, skip the check with --no-revocation");
    }
    std::vector<CrlSource> fetched;
    const CrlSource* found = nullptr;
    if (haveOffline) {
        found = CrlOf(issuer, offline);
        if (found == nullptr) {
            return Fail(name + ": no --crl file holds a CRL of " + issuerName + " for " + who +
                        "; give its current CRL (published at " + addresses[0] + ")");
        }
    } else {
        std::string problems;
        for (const std::string& address : addresses) {
            std::string body;
            const std::string error = FetchCrl(address, &body);
            if (error.empty()) ParseCrls(body, address, &fetched);
            found = CrlOf(issuer, fetched);
            if (found != nullptr) break;
            problems += "\n  " + address + ": " + (error.empty() ? "no CRL of " + issuerName : error);
        }
        if (found == nullptr) {
            return Fail(name + ": cannot fetch the CRL of " + who + ":" + problems +
                        "\nfix the network to the CRL's address, or give the CRL with --crl FILE");
        }
    }
    const ASN1_TIME* next = X509_CRL_get0_nextUpdate(found->crl.get());
    if (next != nullptr && X509_cmp_current_time(next) < 0) {
        return Fail(name + ": the CRL of " + issuerName + " from " + found->from +
                    " expired on " + TimeText(next) + "; a client treats it as no CRL: get the "
                    "CA's current CRL");
    }
    X509_REVOKED* entry = nullptr;
    if (X509_CRL_get0_by_cert(found->crl.get(), &entry, certificate) == 1) {
        auto* reason = static_cast<ASN1_ENUMERATED*>(
            X509_REVOKED_get_ext_d2i(entry, NID_crl_reason, nullptr, nullptr));
        const std::string why = reason != nullptr ? ReasonText(ASN1_ENUMERATED_get(reason))
                                                  : "unspecified";
        ASN1_ENUMERATED_free(reason);
        return Fail(name + ": " + who + " is revoked: " + issuerName + " revoked it on " +
                    TimeText(X509_REVOKED_get0_revocationDate(entry)) + ", reason " + why +
                    " (CRL from " + found->from + "); its key must not sign again: get a new "
                    "certificate and sign the release with it");
    }
    std::cout << "revocation: " << who << " is not revoked (CRL of " << issuerName
              << (haveOffline ? " from " : " fetched from ") << found->from << ")\n";
    return 0;
}

// The PKCS#7 signed data of the file's Authenticode signature; null when absent.
std::unique_ptr<PKCS7, FreePkcs7> ReadSignature(const std::vector<u8>& file) {
    const std::string signature = SignatureBytes(file);
    const unsigned char* der = reinterpret_cast<const unsigned char*>(signature.data());
    std::unique_ptr<PKCS7, FreePkcs7> p7(
        signature.empty() ? nullptr : d2i_PKCS7(nullptr, &der, static_cast<long>(signature.size())));
    if (p7 == nullptr || !PKCS7_type_is_signed(p7.get())) return nullptr;
    return p7;
}

// The first signer's certificate, owned by p7; null when it names none.
X509* Signer(PKCS7* p7) {
    STACK_OF(X509)* signers = PKCS7_get0_signers(p7, nullptr, 0);
    X509* signer = signers != nullptr && sk_X509_num(signers) > 0 ? sk_X509_value(signers, 0)
                                                                    : nullptr;
    sk_X509_free(signers);  // the certificates stay owned by p7
    return signer;
}

// A context that builds the signer's chain from the signature's certificates
// to the anchors of --ca or the system's store; false when they cannot be loaded.
bool ChainContext(PKCS7* p7, X509* signer, const ToolOptions& options,
                  std::unique_ptr<X509_STORE, FreeStore>* store,
                  std::unique_ptr<X509_STORE_CTX, FreeStoreContext>* context) {
    store->reset(X509_STORE_new());
    const bool anchors = options.ca.empty()
                             ? X509_STORE_set_default_paths(store->get()) == 1
                             : X509_STORE_load_file(store->get(), options.ca.c_str()) == 1;
    context->reset(X509_STORE_CTX_new());
    if (!anchors || *context == nullptr ||
        X509_STORE_CTX_init(context->get(), store->get(), signer, p7->d.sign->cert) != 1) {
        return false;
    }
    // The signature tool judges the chain's times and uses; here it is only
    // built, to learn which certificates it holds and where it ends.
    X509_STORE_CTX_set_flags(context->get(), X509_V_FLAG_NO_CHECK_TIME);
    return true;
}

}  // namespace

bool ReadSignatureFacts(const std::vector<u8>& file, const ToolOptions& options,
                        SignatureFacts* out) {
    *out = SignatureFacts();
    std::unique_ptr<PKCS7, FreePkcs7> p7 = ReadSignature(file);
    X509* signer = p7 != nullptr ? Signer(p7.get()) : nullptr;
    if (signer == nullptr) return false;
    out->signerExpires = TimeText(X509_get0_notAfter(signer));

    // NOTE: Authenticode signs SpcIndirectDataContent, whose message digest
    // covers the DER of the SEQUENCE's contents without its tag and length;
    // OpenSSL reads that content type as opaque, so it is handed in as the
    // detached data. PKCS7_NOVERIFY leaves the chain out: only the signer's
    // key is checked against the signed attributes here.
    const ASN1_TYPE* content =
        p7->d.sign->contents != nullptr ? p7->d.sign->contents->d.other : nullptr;
    if (content != nullptr && content->type == V_ASN1_SEQUENCE) {
        const unsigned char* at = content->value.sequence->data;
        const long total = content->value.sequence->length;
        long length = 0;
        int tag = 0;
        int kind = 0;
        const unsigned char* inner = at;
        if (!(ASN1_get_object(&inner, &length, &tag, &kind, total) & 0x80) &&
            inner + length <= at + total) {
            std::unique_ptr<BIO, FreeBio> data(BIO_new_mem_buf(inner, static_cast<int>(length)));
            out->intact = data != nullptr && PKCS7_verify(p7.get(), nullptr, nullptr, data.get(),
                                                          nullptr, PKCS7_NOVERIFY) == 1;
        }
    }
    ERR_clear_error();

    // The chain as far as the signature's certificates and the anchors take it.
    X509* top = signer;
    for (int hops = 0; hops < 16 && X509_check_issued(top, top) != X509_V_OK; ++hops) {
        X509* issuer = nullptr;
        for (int i = 0; i < sk_X509_num(p7->d.sign->cert); ++i) {
            X509* candidate = sk_X509_value(p7->d.sign->cert, i);
            if (candidate != top && X509_check_issued(candidate, top) == X509_V_OK) issuer = candidate;
        }
        if (issuer == nullptr) break;
        top = issuer;
    }
    out->root = CommonName(X509_check_issued(top, top) == X509_V_OK ? X509_get_subject_name(top)
                                                                   : X509_get_issuer_name(top));
    std::unique_ptr<X509_STORE, FreeStore> store;
    std::unique_ptr<X509_STORE_CTX, FreeStoreContext> context;
    if (ChainContext(p7.get(), signer, options, &store, &context) &&
        X509_verify_cert(context.get()) != 1) {
        const int error = X509_STORE_CTX_get_error(context.get());
        out->untrustedRoot = error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
                             error == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT ||
                             error == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN ||
                             error == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT;
    }
    ERR_clear_error();
    return true;
}

int CheckRevocation(const std::string& name, const std::vector<u8>& file,
                    const ToolOptions& options) {
    std::vector<CrlSource> offline;
    for (const std::string& path : options.crls) {
        std::vector<u8> bytes;
        if (!ReadWholeFile(path, &bytes)) return Fail("cannot open the CRL file " + path);
        const size_t before = offline.size();
        ParseCrls(std::string(bytes.begin(), bytes.end()), path, &offline);
        if (offline.size() == before) return Fail(path + " holds no CRL (PEM or DER)");
    }

    std::unique_ptr<PKCS7, FreePkcs7> p7 = ReadSignature(file);
    X509* signer = p7 != nullptr ? Signer(p7.get()) : nullptr;
    if (p7 == nullptr) return Fail(name + ": cannot read the Authenticode signature's certificates");
    if (signer == nullptr) return Fail(name + ": the signature names no signer's certificate");

    std::unique_ptr<X509_STORE, FreeStore> store;
    std::unique_ptr<X509_STORE_CTX, FreeStoreContext> context;
    if (!ChainContext(p7.get(), signer, options, &store, &context)) {
        return Fail("cannot load the trust anchors" + (options.ca.empty() ? "" : " of " + options.ca));
    }
    if (X509_verify_cert(context.get()) != 1) {
        return Fail(name + ": cannot build the signer's certificate chain: " +
                    X509_verify_cert_error_string(X509_STORE_CTX_get_error(context.get())));
    }
    STACK_OF(X509)* chain = X509_STORE_CTX_get0_chain(context.get());
    const int below = sk_X509_num(chain) - 1;
    if (below == 0) {
        std::cout << "revocation: the signer's certificate is its own root; nothing below the "
                     "root to check\n";
    }
    for (int i = 0; i < below; ++i) {
        if (int refused = CheckCertificate(name, sk_X509_value(chain, i),
                                           sk_X509_value(chain, i + 1), offline,
                                           !options.crls.empty())) {
            return refused;
        }
    }
    return 0;
}
