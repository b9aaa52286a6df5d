// fwstack-publish check: a client's update against a live server, step by
// step, with libcurl in place of WinHTTP.
#include <curl/curl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <ctime>
#include <iostream>

#include "base/bytes.h"
#include "engine/run.h"
#include "info/update_info.h"
#include "info/update_url.h"
#include "tools/publish/release_tool.h"
#include "verify/sha256.h"

namespace {

struct Answer {
    long status = 0;
    std::string body;
    u64 cap = 0;
    bool tooLarge = false;
    std::string cacheControl;
    std::string location;
    std::string contentType;
    std::string error;  // the transport's failure, empty when a status came back
    bool untrusted = false;  // the server's certificate did not verify
};

size_t TakeBody(char* data, size_t size, size_t count, void* context) {
    Answer* answer = static_cast<Answer*>(context);
    const size_t n = size * count;
    if (answer->body.size() + n > answer->cap) {
        answer->tooLarge = true;
        return 0;  // ends the transfer, as the client does at its cap
    }
    answer->body.append(data, n);
    return n;
}

std::string Trimmed(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

size_t TakeHeader(char* data, size_t size, size_t count, void* context) {
    Answer* answer = static_cast<Answer*>(context);
    const std::string line(data, size * count);
    const size_t colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        const std::string value = Trimmed(line.substr(colon + 1));
        if (name == "cache-control") answer->cacheControl = value;
        if (name == "location") answer->location = value;
        if (name == "content-type") answer->contentType = value;
    }
    return size * count;
}

// libcurl's lowest and highest TLS version in one option value.
long TlsRange(long lowest, long highest) { return lowest | highest; }

// HTTP/1.1 over TLS 1.2 at least, as WinHTTP speaks it. The verdict takes
// TLS 1.2 as the highest version too: WinHTTP speaks TLS 1.3 only from
// Windows 11 and Server 2022 on, so most clients reach a server through 1.2.
void SpeakAsTheClient(CURL* curl) {
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(curl, CURLOPT_SSLVERSION, TlsRange(CURL_SSLVERSION_TLSv1_2, CURL_SSLVERSION_MAX_TLSv1_2));
}

// One GET as the client makes it: HTTP/1.1, no redirect followed, no
// compression asked for, no conditional header, the client's user agent and
// time-outs, at most cap body bytes.
Answer Get(const std::string& address, u64 cap, const std::string& ca, const ClientRules& rules) {
    Answer answer;
    answer.cap = cap;
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        answer.error = "libcurl could not start";
        return answer;
    }
    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, rules.userAgent.c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 15L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 30L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, TakeBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, TakeHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer);
    if (!ca.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());
    SpeakAsTheClient(curl);
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
    if (code != CURLE_OK && !answer.tooLarge) {
        answer.error = error[0] != '\0' ? error : curl_easy_strerror(code);
        answer.untrusted = code == CURLE_PEER_FAILED_VERIFICATION;
    }
    curl_easy_cleanup(curl);
    return answer;
}

// Prints what came back; returns 0 when it is a whole body with status 200,
// else 1 after saying what a client makes of it.
int Delivered(const std::string& what, const std::string& address, const Answer& answer) {
    std::cout << "GET " << address << ": ";
    if (!answer.error.empty()) {
        std::cout << "failed\n";
        if (answer.untrusted) {
            return Fail("cannot fetch the " + what + ": " + answer.error +
                        "; the server's certificate does not lead to a root this machine "
                        "trusts: give that root with --ca FILE for a test PKI, or serve a "
                        "certificate from a publicly trusted CA, which clients need");
        }
        return Fail("cannot fetch the " + what + ": " + answer.error);
    }
    std::cout << "status " << answer.status << ", " << answer.body.size() << " bytes, "
              << "Content-Type: " << (answer.contentType.empty() ? "(none)" : answer.contentType)
              << ", Cache-Control: "
              << (answer.cacheControl.empty() ? "(none)" : answer.cacheControl) << "\n";
    if (answer.tooLarge) {
        return Fail("the " + what + " is longer than the " + std::to_string(answer.cap) +
                    " bytes a client reads");
    }
    if (answer.status >= 300 && answer.status < 400) {
        return Fail("the server redirects the " + what + " to " + answer.location +
                    "; a client follows no redirect: serve the file itself at " + address);
    }
    if (answer.status != 200) {
        return Fail("the server answered the " + what + " with status " +
                    std::to_string(answer.status) + "; a client needs 200");
    }
    return 0;
}

// Which TLS versions the server completes a handshake in, each tried alone.
std::string AcceptedTlsVersions(const std::string& address, const std::string& ca,
                                bool* tls12) {
    struct Tried {
        const char* name;
        long version;
    };
    const Tried versions[] = {
        {"TLS 1.0", TlsRange(CURL_SSLVERSION_TLSv1_0, CURL_SSLVERSION_MAX_TLSv1_0)},
        {"TLS 1.1", TlsRange(CURL_SSLVERSION_TLSv1_1, CURL_SSLVERSION_MAX_TLSv1_1)},
        {"TLS 1.2", TlsRange(CURL_SSLVERSION_TLSv1_2, CURL_SSLVERSION_MAX_TLSv1_2)},
        {"TLS 1.3", TlsRange(CURL_SSLVERSION_TLSv1_3, CURL_SSLVERSION_MAX_TLSv1_3)},
    };
    std::string accepted;
    *tls12 = false;
    for (const Tried& tried : versions) {
        CURL* curl = curl_easy_init();
        if (curl == nullptr) continue;
        curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
        curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 15L);
        curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(curl, CURLOPT_SSLVERSION, tried.version);
        // OpenSSL refuses TLS 1.0 and 1.1 at its default security level;
        // only to learn whether the server still speaks them.
        curl_easy_setopt(curl, CURLOPT_SSL_CIPHER_LIST, "DEFAULT:@SECLEVEL=0");
        if (!ca.empty()) curl_easy_setopt(curl, CURLOPT_CAINFO, ca.c_str());
        if (curl_easy_perform(curl) == CURLE_OK) {
            accepted += (accepted.empty() ? "" : ", ") + std::string(tried.name);
            if (tried.version == versions[2].version) *tls12 = true;
        }
        curl_easy_cleanup(curl);
    }
    return accepted;
}

// True when a cache may hand out a stored copy of the document without
// asking the server first.
bool MayBeCached(const std::string& cacheControl) {
    std::string value = cacheControl;
    for (char& c : value) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return value.find("no-cache") == std::string::npos &&
           value.find("no-store") == std::string::npos &&
           value.find("max-age=0") == std::string::npos;
}

// The address with a query no cache has seen yet, so that any cache in front
// of the server passes the request on: what the server itself holds now.
std::string PastTheCaches(const std::string& address) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return address + (address.find('?') == std::string::npos ? "?" : "&") + "fwstack-check=" +
           std::to_string(getpid()) + "." + std::to_string(now.tv_sec) + "." +
           std::to_string(now.tv_nsec);
}

// The downloaded release checked as the client checks it, through a
// temporary file for the signature tool.
int CheckDownloadedRelease(const std::string& body, const ToolOptions& options, Version* version) {
    char path[] = "/tmp/fwstack-check-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return Fail("cannot make a temporary file for the release");
    const bool whole = WriteAll(fd, body.data(), body.size());
    const bool written = close(fd) == 0 && whole;
    std::vector<u8> file;
    const int verdict = written ? CheckRelease("the release on the server", path, options, &file, version)
                                : Fail("cannot write a temporary copy of the release");
    unlink(path);
    return verdict;
}

// The keys check verifies with; returns 0, or 1 after saying which is wrong.
int ReadCheckKeys(const ToolOptions& options, std::vector<PublisherKey>* keys) {
    for (const std::string& given : options.keys) {
        PublisherKey key;
        std::string why;
        if (!ReadPublicKey(given, &key, &why)) return Fail(why);
        keys->push_back(key);
    }
    return 0;
}

// What a keyed client makes of the tail after the five lines; returns 0
// after printing the verdict, or 1 after saying why a client refuses it.
int CheckTail(const std::string& what, const std::string& document, const UpdateInfo& info,
              const std::vector<PublisherKey>& keys) {
    if (keys.empty()) return 0;
    const i64 now = static_cast<i64>(std::time(nullptr));
    i64 expires = 0;
    size_t which = 0;
    const TailVerdict verdict =
        VerifyTail(document, static_cast<size_t>(info.url.end) + 1, keys, now, &expires, &which);
    if (int refused = RefuseTail(what, verdict, expires)) return refused;
    const i64 left = expires - now;
    std::cout << "signature: good, by " << (keys.size() > 1 ? which == 0 ? "the first given " : "the second given " : "the given ")
              << "key, expires " << FormatExpires(expires) << " (in " << left / 86400 << " days "
              << left % 86400 / 3600 << " hours)\n";
    if (left < ExpiryWarningDays * 86400) {
        std::cout << "warning: the document expires in less than " << ExpiryWarningDays
                  << " days; keyed clients refuse it after that: run fwstack-publish refresh "
                     "--key, or check that its timer runs (deploy/systemd/fwstack-refresh.timer)\n";
    }
    return 0;
}

// check of a document on this machine: the five lines and, with keys, the
// signed tail; nothing is fetched.
int CheckLocalDocument(const std::string& target, const ToolOptions& options,
                       const std::vector<PublisherKey>& keys, const Version* installed) {
    struct stat about {};
    const bool isFolder = stat(target.c_str(), &about) == 0 && S_ISDIR(about.st_mode);
    const std::string path = isFolder ? PathIn(target, "latest.txt") : target;
    std::vector<u8> bytes;
    if (!ReadWholeFile(path, &bytes)) {
        return Fail("cannot open " + path + "; give an https:// address, a document file or "
                    "a downloads folder");
    }
    const std::string document(bytes.begin(), bytes.end());
    const ClientRules rules = ReadClientRules(options);
    UpdateInfo info = FreshUpdateInfo();
    if (document.size() > DocumentCapacity ||
        !ParseUpdateInfo(document.data(), document.size(), rules.program.data(),
                         rules.program.size(), true, &info)) {
        return Fail(path + " is not a document a client of " + rules.program +
                    " accepts; publish it with fwstack-publish publish");
    }
    const std::string announced = VersionText(info.version);
    std::cout << "document: announces " << announced << " at "
              << document.substr(info.url.start, info.url.end - info.url.start) << "\n";
    if (int refused = CheckTail(path, document, info, keys)) return refused;
    if (installed != nullptr) {
        std::cout << "version: a client of " << options.installed
                  << (IsNewerVersion(info.version, *installed) ? " updates to " + announced
                                                               : " stays on " + options.installed)
                  << "\n";
    }
    std::cout << "check passed: " << path << " (the release itself is not fetched)\n";
    return 0;
}

}  // namespace

// check [CHECKS] [--installed X.Y.Z] ADDRESS; the address may be left out
// when --identity names the program's own.
int Check(int argc, char** argv) {
    ToolOptions options;
    const int i = ReadOptions(argc, argv,
                              OptionsOfVerify | OptionInstalled | OptionKey | OptionTwoKeys |
                                  OptionAllowUnsigned, &options);
    if (i < 0) return 1;
    if (!options.pkcs11Module.empty() || !options.pinFile.empty()) return Usage();
    const bool fromIdentity = i == argc && !options.updateAddress.empty();
    if (i == 0 || (!fromIdentity && (i + 1 != argc || argv[i][0] == '\0'))) return Usage();
    const std::string address = fromIdentity ? options.updateAddress : argv[i];
    Version installed = FreshVersion();
    const bool haveInstalled = !options.installed.empty();
    if (haveInstalled &&
        !ParseVersion(options.installed.data(), options.installed.size(), &installed)) {
        std::cerr << "fwstack-publish: --installed takes a version X.Y.Z or X.Y.Z-beta.N\n";
        return Usage();
    }
    std::vector<PublisherKey> keys;
    if (int refused = ReadCheckKeys(options, &keys)) return refused;
    if (address.find("://") == std::string::npos) {
        return CheckLocalDocument(address, options, keys, haveInstalled ? &installed : nullptr);
    }
    const bool allowLocalHttp = AllowsLocalHttp(address);
    UrlParts parts;
    if (!ParseUpdateUrl(address.data(), address.size(), allowLocalHttp, &parts)) {
        return Fail(address + " is not an address a client fetches: give https://host[:port]/path");
    }
    const ClientRules rules = ReadClientRules(options);
    curl_global_init(CURL_GLOBAL_DEFAULT);

    if (parts.secure) {
        bool tls12 = false;
        const std::string accepted = AcceptedTlsVersions(address, options.ca, &tls12);
        if (!accepted.empty()) {
            std::cout << "TLS: the server accepts " << accepted
                      << "; a client speaks TLS 1.2 and newer\n";
            if (!tls12) {
                return Fail("the server completes no TLS 1.2 handshake (it accepts " + accepted +
                            "); WinHTTP speaks TLS 1.3 only from Windows 11 and Server 2022 "
                            "on, so clients on older Windows cannot reach it: enable TLS 1.2 "
                            "beside TLS 1.3");
            }
        }
    }
    const Answer document = Get(address, DocumentCapacity, options.ca, rules);
    if (int failed = Delivered("document", address, document)) return failed;
    if (MayBeCached(document.cacheControl)) {
        std::cout << "warning: the document may be cached (Cache-Control: "
                  << (document.cacheControl.empty() ? "none" : document.cacheControl)
                  << "); serve it with Cache-Control: no-cache, or clients may see an old "
                     "release for as long as a cache keeps it\n";
    }
    // A cache that keeps the document may still pass the server's
    // Cache-Control on unchanged, and some (nginx) add no Age header to what
    // they serve from store: a stored copy shows only as different bytes.
    const std::string probe = PastTheCaches(address);
    const Answer fresh = Get(probe, DocumentCapacity, options.ca, rules);
    std::cout << "GET " << probe << ": ";
    if (fresh.error.empty() && fresh.status == 200 && !fresh.tooLarge) {
        if (fresh.body != document.body) {
            std::cout << "a different document\n";
            return Fail("a cache in front of the server holds an old document: clients meet a "
                        "new release only when the cache lets the copy go; make it ask the "
                        "server for the document every time (deploy/nginx/fwstack-edge.conf)");
        }
        std::cout << "the same document, so no cache holds an old one\n";
    } else {
        std::cout << "not compared (" << (fresh.error.empty() ? "status " +
                     std::to_string(fresh.status) : fresh.error) << ")\n";
    }
    UpdateInfo info = FreshUpdateInfo();
    if (!ParseUpdateInfo(document.body.data(), document.body.size(), rules.program.data(),
                         rules.program.size(), allowLocalHttp, &info)) {
        return Fail("the document is not one a client accepts; publish it with "
                    "fwstack-publish publish:\n" + document.body);
    }
    const std::string url = document.body.substr(info.url.start, info.url.end - info.url.start);
    const std::string announced = VersionText(info.version);
    std::cout << "document: announces " << announced << " at " << url << "\n";
    if (!SameUpdateServer(address.data(), address.size(), url.data(), url.size(), allowLocalHttp)) {
        return Fail("a client refuses " + url + ": it is not on the scheme, host and port of " +
                    address + "; serve the release from the same server");
    }
    std::cout << "same server: yes\n";
    if (int refused = CheckTail("the document", document.body, info, keys)) return refused;
    if (haveInstalled) {
        std::cout << "version: a client of " << options.installed
                  << (IsNewerVersion(info.version, installed) ? " updates to " : " stays on ")
                  << (IsNewerVersion(info.version, installed) ? announced : options.installed)
                  << "\n";
    }

    const Answer release = Get(url, rules.maxDownloadSize, options.ca, rules);
    if (int failed = Delivered("release", url, release)) return failed;
    u8 digest[32];
    Sha256(reinterpret_cast<const u8*>(release.body.data()), release.body.size(), digest);
    if (!BytesEqual(digest, info.sha256, sizeof digest)) {
        return Fail("the release's SHA-256 differs from the document's; publish the release "
                    "and its document again with fwstack-publish publish");
    }
    std::cout << "SHA-256: matches the document\n";
    Version version;
    if (int refused = CheckDownloadedRelease(release.body, options, &version)) return refused;
    if (!IsSameRelease(version, info.version)) {
        return Fail("the release is version " + VersionText(version) + " but the document "
                    "announces " + announced + "; publish it again with fwstack-publish publish");
    }
    std::cout << "check passed: a client " << (haveInstalled ? "of " + options.installed + " " : "")
              << "would " << (!haveInstalled || IsNewerVersion(info.version, installed)
                                  ? "update to " + announced
                                  : "be up to date")
              << "\n";
    return 0;
}
