// SHA-256 throughput of one engine of the program against OpenSSL's EVP in
// the same process. Each round hashes 64 MiB with each, in 64 KiB pieces as
// the program hashes a file, taking turns every 256 KiB so that both see the
// same machine load; prints GB/s of each and their ratio round by round
// (median, min, max), and the ratio of each round's fastest turns, which a
// busy machine disturbs least. OpenSSL's own code path is chosen by OPENSSL_ia32cap.
//
//     sha256_speed portable|extensions [rounds [name of the OpenSSL side]]
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "verify/sha256.h"

namespace {

constexpr size_t Piece = 65536;
constexpr size_t Total = 64u << 20;

constexpr size_t Turn = 1u << 18;

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void Print(const char* name, std::vector<double> values, const char* unit) {
    std::sort(values.begin(), values.end());
    std::printf("%-38s %9.3f %9.3f %9.3f %s\n", name, values[values.size() / 2], values.front(),
                values.back(), unit);
}

}  // namespace

int main(int argc, char** argv) {
    bool extensions = argc > 1 && std::strcmp(argv[1], "extensions") == 0;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 9;
    const char* referenceName = argc > 3 ? argv[3] : "openssl";
    if (extensions && !Sha256ExtensionsAvailable()) {
        std::printf("this processor has no SHA extensions\n");
        return 0;
    }
    Sha256UseEngine(extensions ? Sha256Extensions : Sha256Portable);

    std::vector<unsigned char> piece(Piece);
    for (size_t i = 0; i < Piece; ++i) piece[i] = static_cast<unsigned char>(i * 131 + 7);
    std::vector<double> mine, reference, ratios, fastest;
    for (int round = -1; round < rounds; ++round) {  // round -1 warms up
        Sha256Context ours{};
        Sha256Init(&ours);
        EVP_MD_CTX* theirs = EVP_MD_CTX_new();
        EVP_DigestInit_ex(theirs, EVP_sha256(), nullptr);
        double ourSeconds = 0, theirSeconds = 0, ourFastest = 1e9, theirFastest = 1e9;
        auto ourTurn = [&]() {
            auto start = std::chrono::steady_clock::now();
            for (size_t done = 0; done < Turn; done += Piece) Sha256Update(&ours, piece.data(), Piece);
            double took = Seconds(start);
            ourSeconds += took;
            ourFastest = std::min(ourFastest, took);
        };
        auto theirTurn = [&]() {
            auto start = std::chrono::steady_clock::now();
            for (size_t done = 0; done < Turn; done += Piece) EVP_DigestUpdate(theirs, piece.data(), Piece);
            double took = Seconds(start);
            theirSeconds += took;
            theirFastest = std::min(theirFastest, took);
        };
        for (size_t turn = 0; turn < Total / Turn; ++turn) {  // who goes first alternates
            if (turn % 2 == 0) {
                ourTurn();
                theirTurn();
            } else {
                theirTurn();
                ourTurn();
            }
        }
        unsigned char a[32], b[32];
        unsigned int n = 0;
        Sha256Final(&ours, a);
        EVP_DigestFinal_ex(theirs, b, &n);
        EVP_MD_CTX_free(theirs);
        if (std::memcmp(a, b, 32) != 0) {
            std::printf("the digests differ\n");
            return 1;
        }
        if (round < 0) continue;
        mine.push_back(static_cast<double>(Total) / ourSeconds / 1e9);
        reference.push_back(static_cast<double>(Total) / theirSeconds / 1e9);
        ratios.push_back(theirSeconds / ourSeconds);
        fastest.push_back(theirFastest / ourFastest);
    }
    const char* engine = extensions ? "extensions" : "portable";
    char label[64];
    Print(referenceName, reference, "GB/s");
    std::snprintf(label, sizeof label, "fwstack %s", engine);
    Print(label, mine, "GB/s");
    std::snprintf(label, sizeof label, "%s / %s", engine, referenceName);
    Print(label, ratios, "x");
    std::snprintf(label, sizeof label, "  the same, fastest turns of a round");
    Print(label, fastest, "x");
    return 0;
}
