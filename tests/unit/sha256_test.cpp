// SHA-256 against the NIST CAVP vectors, and streaming in pieces against one-shot.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "verify/sha256.h"

namespace {

// The CAVP response files of python3-cryptography-vectors; under Wine the
// Linux root is drive Z:.
std::string VectorPath(const std::string& name) {
#ifdef _WIN32
    return "Z:\\usr\\lib\\python3\\dist-packages\\cryptography_vectors\\hashes\\SHA2\\" + name;
#else
    return "/usr/lib/python3/dist-packages/cryptography_vectors/hashes/SHA2/" + name;
#endif
}

std::vector<u8> FromHex(const std::string& hex) {
    std::vector<u8> out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<u8>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string ToHex(const u8* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xF];
    }
    return out;
}

std::string DigestHex(const std::vector<u8>& message) {
    u8 digest[32];
    Sha256(message.data(), message.size(), digest);
    return ToHex(digest, 32);
}

// "Name = value" lines of a response file, in order, as (name, value) pairs.
std::vector<std::pair<std::string, std::string>> ReadAssignments(const std::string& name) {
    std::vector<std::pair<std::string, std::string>> out;
    std::ifstream in(VectorPath(name));
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#' || line[0] == '[') continue;
        size_t eq = line.find(" = ");
        if (eq == std::string::npos) continue;
        out.emplace_back(line.substr(0, eq), line.substr(eq + 3));
    }
    return out;
}

struct MessageVector {
    u64 bits;
    std::vector<u8> message;
    std::string digest;
};

std::vector<MessageVector> ReadMessageVectors(const std::string& name) {
    std::vector<MessageVector> out;
    MessageVector current{};
    for (const auto& [key, value] : ReadAssignments(name)) {
        if (key == "Len") {
            current = MessageVector{std::stoull(value), {}, {}};
        } else if (key == "Msg") {
            current.message = FromHex(value);
            current.message.resize(current.bits / 8);  // Len = 0 still lists "00"
        } else if (key == "MD") {
            current.digest = value;
            out.push_back(current);
        }
    }
    return out;
}

void CheckMessageFile(const std::string& name, size_t expectedAtLeast) {
    std::vector<MessageVector> vectors = ReadMessageVectors(name);
    ASSERT_GE(vectors.size(), expectedAtLeast) << "missing or unreadable " << VectorPath(name);
    for (const MessageVector& v : vectors) {
        ASSERT_EQ(v.bits % 8, 0u);
        EXPECT_EQ(DigestHex(v.message), v.digest) << name << " Len = " << v.bits;
    }
}

// Every test below runs once with each compression engine.
class Sha256Cavp : public ::testing::TestWithParam<u32> {
protected:
    void SetUp() override {
        if (GetParam() == Sha256Extensions && !Sha256ExtensionsAvailable()) {
            GTEST_SKIP() << "this processor has no SHA extensions";
        }
        Sha256UseEngine(GetParam());
        ASSERT_EQ(Sha256ActiveEngine(), GetParam());
    }
    void TearDown() override { Sha256UseEngine(Sha256Automatic); }
};
INSTANTIATE_TEST_SUITE_P(Engines, Sha256Cavp, ::testing::Values(Sha256Portable, Sha256Extensions),
                         [](const auto& info) {
                             return info.param == Sha256Portable ? "Portable" : "Extensions";
                         });

TEST(Sha256Engine, TheExtensionsAreChosenWhereThereAreAny) {
    Sha256UseEngine(Sha256Automatic);
    EXPECT_EQ(Sha256ActiveEngine(),
              Sha256ExtensionsAvailable() ? u32{Sha256Extensions} : u32{Sha256Portable});
}

TEST_P(Sha256Cavp, ShortMessages) { CheckMessageFile("SHA256ShortMsg.rsp", 65); }

TEST_P(Sha256Cavp, LongMessages) { CheckMessageFile("SHA256LongMsg.rsp", 64); }

// CAVS SHAVS Monte Carlo: each checkpoint is 1000 chained hashes of the three
// previous digests, seeded with the checkpoint before it.
TEST_P(Sha256Cavp, MonteCarlo) {
    std::vector<u8> seed;
    std::vector<std::string> checkpoints;
    for (const auto& [key, value] : ReadAssignments("SHA256Monte.rsp")) {
        if (key == "Seed") seed = FromHex(value);
        if (key == "MD") checkpoints.push_back(value);
    }
    ASSERT_EQ(seed.size(), 32u) << "missing or unreadable " << VectorPath("SHA256Monte.rsp");
    ASSERT_EQ(checkpoints.size(), 100u);
    for (size_t j = 0; j < checkpoints.size(); ++j) {
        u8 md[3][32];
        for (auto& slot : md) std::copy(seed.begin(), seed.end(), slot);
        u8 next[32];
        for (int i = 0; i < 1000; ++i) {
            u8 message[96];
            std::copy(md[0], md[0] + 32, message);
            std::copy(md[1], md[1] + 32, message + 32);
            std::copy(md[2], md[2] + 32, message + 64);
            Sha256(message, sizeof message, next);
            std::copy(md[1], md[1] + 32, md[0]);
            std::copy(md[2], md[2] + 32, md[1]);
            std::copy(next, next + 32, md[2]);
        }
        ASSERT_EQ(ToHex(next, 32), checkpoints[j]) << "checkpoint " << j;
        seed.assign(next, next + 32);
    }
}

std::vector<u8> Pattern(size_t n) {
    std::vector<u8> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<u8>((i * 131 + 7) ^ (i >> 8));
    return out;
}

std::string PiecewiseHex(const std::vector<u8>& message, const std::vector<size_t>& pieces) {
    Sha256Context context{};
    Sha256Init(&context);
    size_t at = 0;
    for (size_t piece : pieces) {
        Sha256Update(&context, message.data() + at, piece);
        at += piece;
    }
    EXPECT_EQ(at, message.size());
    u8 digest[32];
    Sha256Final(&context, digest);
    return ToHex(digest, 32);
}

TEST_P(Sha256Cavp, PiecesGiveTheOneShotDigest) {
    std::vector<u8> small = Pattern(128);
    std::vector<size_t> ones(small.size(), 1);
    EXPECT_EQ(PiecewiseHex(small, ones), DigestHex(small));
    EXPECT_EQ(PiecewiseHex(small, {63, 65}), DigestHex(small));
    EXPECT_EQ(PiecewiseHex(small, {0, 64, 0, 64, 0}), DigestHex(small));

    std::vector<u8> large = Pattern(3 * 65536 + 1000);
    EXPECT_EQ(PiecewiseHex(large, {65536, 65536, 65536, 1000}), DigestHex(large));
    EXPECT_EQ(PiecewiseHex(large, {1, 65536, 65535, 65536, 1000}), DigestHex(large));
}

// The padding needs a second block once the last block holds 56 bytes or more.
TEST_P(Sha256Cavp, LengthsAroundTheBlockEdge) {
    struct Case {
        size_t length;
        const char* digest;
    };
    // Messages of 'a' bytes; digests from an independent implementation.
    const Case cases[] = {
        {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {55, "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {56, "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {63, "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
        {64, "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {65, "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
    };
    for (const Case& c : cases) {
        std::vector<u8> message(c.length, 'a');
        EXPECT_EQ(DigestHex(message), c.digest) << c.length << " bytes";
    }
    EXPECT_EQ(DigestHex({'a', 'b', 'c'}),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
