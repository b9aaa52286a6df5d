// SHA-256 throughput of each engine of the program against OpenSSL's EVP in
// the same process: 256 MiB in 64 KiB pieces, as the program hashes a file.
// Prints one line per engine: name, GB/s (median, min, max of the rounds).
#include <openssl/evp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "verify/sha256.h"

namespace {

constexpr size_t Piece = 65536;
constexpr size_t Total = 256u << 20;
constexpr int Rounds = 7;

template <typename Hash>
void Report(const char* name, Hash hash) {
    std::vector<double> rates;
    for (int r = 0; r < Rounds; ++r) {
        auto start = std::chrono::steady_clock::now();
        hash();
        std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        rates.push_back(static_cast<double>(Total) / took.count() / 1e9);
    }
    std::sort(rates.begin(), rates.end());
    std::printf("%-22s %6.3f GB/s  (min %.3f, max %.3f)\n", name, rates[Rounds / 2], rates.front(),
                rates.back());
}

}  // namespace

int main() {
    std::vector<unsigned char> piece(Piece);
    for (size_t i = 0; i < Piece; ++i) piece[i] = static_cast<unsigned char>(i * 131 + 7);
    unsigned char digest[64];
    auto ours = [&]() {
        Sha256Context context{};
        Sha256Init(&context);
        for (size_t done = 0; done < Total; done += Piece) Sha256Update(&context, piece.data(), Piece);
        Sha256Final(&context, digest);
    };
    auto openssl = [&]() {
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
        for (size_t done = 0; done < Total; done += Piece) EVP_DigestUpdate(context, piece.data(), Piece);
        unsigned int n = 0;
        EVP_DigestFinal_ex(context, digest, &n);
        EVP_MD_CTX_free(context);
    };
    Report("openssl", openssl);
    Sha256UseEngine(Sha256Portable);
    Report("fwstack portable", ours);
    if (Sha256ExtensionsAvailable()) {
        Sha256UseEngine(Sha256Extensions);
        Report("fwstack extensions", ours);
    }
    return 0;
}
