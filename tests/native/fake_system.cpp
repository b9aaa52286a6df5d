// The fake system layer of the native build: every function the Win32 layer
// defines, acting on the in-memory FakeSystem instead of Windows.
#include "tests/native/fake_system.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "app/console.h"
#include "base/arena.h"
#include "base/bytes.h"
#include "engine/update_lock.h"
#include "files/file_system.h"
#include "files/installed_version.h"
#include "files/paths.h"
#include "info/update_url.h"
#include "net/http_get.h"
#include "verify/publisher_signature.h"
#include "verify/sha256.h"
#include "verify/signer.h"
#include "verify/version_reader.h"

namespace {

constexpr u32 ErrorFileNotFound = 2;
constexpr u32 ErrorSharingViolation = 32;

FakeSystem g_fake;

struct FakeHandle {
    std::shared_ptr<FakeFile> file;
    std::string path;
    u32 mode;
};

std::string Narrow(const PathBuffer& path) {
    std::string out;
    for (u64 i = 0; i < path.length; ++i) out.push_back(static_cast<char>(path.text[i]));
    return out;
}

FakeHandle* HandleOf(void* file) { return static_cast<FakeHandle*>(file); }

// The error a primitive fails with now, 0 when it runs; counts the call.
u32 Failure(const std::string& operation, const std::string& path = "") {
    g_fake.calls[operation] += 1;
    for (const std::string& key : {operation + ":" + path, operation}) {
        auto once = g_fake.failingOnce.find(key);
        if (once == g_fake.failingOnce.end()) continue;
        u32 error = once->second;
        g_fake.failingOnce.erase(once);
        return error;
    }
    auto one = g_fake.failing.find(operation + ":" + path);
    if (one != g_fake.failing.end()) return one->second;
    auto all = g_fake.failing.find(operation);
    return all == g_fake.failing.end() ? 0 : all->second;
}

// True when a handle of the program holds the file of this name: the
// handles share reading only, so the name can be neither deleted nor replaced.
bool HeldOpen(const std::string& path) {
    auto found = g_fake.files.find(path);
    if (found == g_fake.files.end()) return false;
    return found->second.use_count() > 1;
}

}  // namespace

FakeSystem& Fake() { return g_fake; }

void ResetFake() { g_fake = FakeSystem{}; }

std::string FakeRelease(u32 major, u32 minor, u32 patch, const std::string& signer,
                        const std::string& payload) {
    std::string bytes(4096 + 64, '\0');
    auto put32 = [&](size_t at, u32 value) {
        for (int i = 0; i < 4; ++i) bytes[at + static_cast<size_t>(i)] = static_cast<char>(value >> (8 * i));
    };
    put32(60, 0x80);
    put32(0x80, 0x00004550);
    bytes[0x80 + 6] = 1;  // one section, no optional header
    std::memcpy(&bytes[0x80 + 24], ".rsrc", 5);
    put32(0x80 + 24 + 16, 64);    // SizeOfRawData
    put32(0x80 + 24 + 20, 4096);  // PointerToRawData
    put32(4096 + 8, 0xFEEF04BD);
    put32(4096 + 12, 0x00010000);
    put32(4096 + 16, major << 16 | minor);
    put32(4096 + 20, patch << 16);
    if (!signer.empty()) bytes += "signer=" + signer + "\n";
    return bytes + payload;
}

// --- files ----------------------------------------------------------------

OpenedFile OpenFile(const PathBuffer& path, u32 mode) {
    std::string name = Narrow(path);
    if (u32 error = Failure("OpenFile", name)) return {nullptr, error};
    auto found = g_fake.files.find(name);
    if (mode == OpenForSwap || mode == OpenForReading || mode == OpenForMoving) {
        if (found == g_fake.files.end()) return {nullptr, ErrorFileNotFound};
    } else {
        if (HeldOpen(name)) return {nullptr, ErrorSharingViolation};
        g_fake.files[name] = std::make_shared<FakeFile>();
    }
    g_fake.openHandles += 1;
    return {new FakeHandle{g_fake.files[name], name, mode}, 0};
}

void CloseFile(void* file) {
    if (!IsValidHandle(file)) return;
    g_fake.openHandles -= 1;
    delete HandleOf(file);
}

bool ReadFileAt(void* file, u64 offset, void* buffer, u64 n, u64* got) {
    *got = 0;
    if (Failure("ReadFileAt")) return false;
    const std::string& bytes = HandleOf(file)->file->bytes;
    if (offset < bytes.size()) {
        *got = std::min<u64>(n, bytes.size() - offset);
        std::memcpy(buffer, bytes.data() + offset, *got);
    }
    return true;
}

bool WriteToFile(void* file, const void* bytes, u64 n) {
    if (Failure("WriteToFile") || HandleOf(file)->mode == OpenForSwap) return false;
    HandleOf(file)->file->bytes.append(static_cast<const char*>(bytes), n);
    return true;
}

bool FlushFile(void*) { return Failure("FlushFile") == 0; }

bool RenameOpenFile(void* file, const PathBuffer& newPath) {
    FakeHandle* handle = HandleOf(file);
    std::string to = Narrow(newPath);
    if (Failure("RenameOpenFile", to) || handle->mode == CreateForRecord) return false;
    if (to != handle->path && HeldOpen(to)) return false;
    g_fake.files.erase(handle->path);
    g_fake.files[to] = handle->file;
    handle->path = to;
    return true;
}

bool MoveFileReplacing(void* file, const PathBuffer& to) {
    FakeHandle* handle = HandleOf(file);
    std::string target = Narrow(to);
    if (Failure("MoveFileReplacing", handle->path) || handle->mode != OpenForMoving) return false;
    if (target != handle->path && HeldOpen(target)) return false;
    g_fake.files.erase(handle->path);
    g_fake.files[target] = handle->file;
    handle->path = target;
    return true;
}

void Pause(u32) { Failure("Pause"); }

bool RemoveFile(const PathBuffer& path) {
    std::string name = Narrow(path);
    if (Failure("RemoveFile", name)) return false;
    if (g_fake.files.count(name) == 0) return true;
    if (HeldOpen(name)) return false;
    g_fake.files.erase(name);
    return true;
}

// --- paths, installed version, memory, console ------------------------------

bool GetProgramPath(PathBuffer* out) {
    FillBytes(out, 0, sizeof *out);
    if (g_fake.programPath.empty() || g_fake.programPath.size() > MaxPathUnits) return false;
    AppendToPath(out, g_fake.programPath.data(), g_fake.programPath.size());
    return true;
}

bool GetFullPath(const PathBuffer& in, PathBuffer* out) {
    std::string path = Narrow(in);
    if (path.size() < 2 || path[1] != ':') path = "C:\\Work\\" + path;
    FillBytes(out, 0, sizeof *out);
    AppendToPath(out, path.data(), path.size());
    if (path.size() <= MaxPathUnits) return true;
    CopyBytes(out, &in, sizeof *out);
    return false;
}

bool ReadInstalledVersion(Version* out) {
    *out = FreshVersion();
    if (!g_fake.installedKnown) return false;
    *out = g_fake.installed;
    return true;
}

// The version of the fake file at program when it has one, else the fake's.
bool ReadInstalledVersion(const PathBuffer& program, Version* out) {
    *out = FreshVersion();
    if (!g_fake.installedKnown) return false;
    auto found = g_fake.files.find(Narrow(program));
    if (found != g_fake.files.end()) {
        FakeHandle handle{found->second, found->first, OpenForReading};
        if (ReadDownloadVersion(&handle, out)) return true;
    }
    *out = g_fake.installed;
    return true;
}

bool ArenaCreate(Arena* arena, u64 size) {
    FillBytes(arena, 0, sizeof *arena);
    if (Failure("ArenaCreate", std::to_string(size))) return false;
    arena->base = static_cast<u8*>(std::malloc(size));
    arena->capacity = arena->base ? size : 0;
    return arena->base != nullptr;
}

void ArenaRelease(Arena* arena) {
    std::free(arena->base);
    FillBytes(arena, 0, sizeof *arena);
}

void WriteStd(u32 handleNumber, const char* bytes, u64 n) {
    (handleNumber == StdOutputHandle ? g_fake.out : g_fake.err).append(bytes, n);
}

// --- lock -------------------------------------------------------------------

u64 ProgramPathKey(const PathBuffer& program) {
    std::string bytes;
    for (u64 i = 0; i < program.length; ++i) {
        u16 unit = program.text[i];
        if (unit >= 'a' && unit <= 'z') unit = static_cast<u16>(unit - 'a' + 'A');
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    u8 digest[32];
    Sha256(reinterpret_cast<const u8*>(bytes.data()), bytes.size(), digest);
    return KeyFromDigest(digest);
}

bool TakeUpdateLock(const UpdateSettings& settings, const UpdatePaths& paths, void** handle) {
    *handle = nullptr;
    PathBuffer name;
    BuildLockName(settings.programName, ProgramPathKey(paths.named), &name);
    std::string key = Narrow(name);
    if (Failure("TakeUpdateLock") || !g_fake.heldLocks.insert(key).second) return false;
    g_fake.openLocks += 1;
    *handle = new std::string(key);
    return true;
}

void HoldLockElsewhere(const UpdateSettings& settings, const std::string& programPath) {
    PathBuffer program{};
    AppendToPath(&program, programPath.data(), programPath.size());
    PathBuffer name;
    BuildLockName(settings.programName, ProgramPathKey(program), &name);
    g_fake.heldLocks.insert(Narrow(name));
}

void ReleaseUpdateLock(void** handle) {
    if (*handle == nullptr) return;
    auto* key = static_cast<std::string*>(*handle);
    g_fake.heldLocks.erase(*key);
    g_fake.openLocks -= 1;
    delete key;
    *handle = nullptr;
}

// --- HTTP GET -----------------------------------------------------------------

namespace {

const FakeResponse* Answer(const UpdateSettings& settings, const char* url, u64 urlLength,
                           HttpResult* result) {
    *result = HttpResult{};
    UrlParts parts{};
    if (!ParseUpdateUrl(url, urlLength, (settings.options & AllowLocalHttp) != 0, &parts)) {
        result->stage = static_cast<u32>(HttpStage::Address);
        return nullptr;
    }
    static const FakeResponse notFound{404, "not found", 0};
    auto found = g_fake.server.find(std::string(url, urlLength));
    const FakeResponse* response = found == g_fake.server.end() ? &notFound : &found->second;
    if (response->stage != 0) {
        result->stage = response->stage;
        result->systemError = 12029;  // ERROR_WINHTTP_CANNOT_CONNECT
        return nullptr;
    }
    result->status = response->status;
    return response;
}

}  // namespace

bool HttpGetToBuffer(const UpdateSettings& settings, const char* url, u64 urlLength, u8* buffer,
                     u64 capacity, HttpResult* result) {
    g_fake.calls["HttpGetToBuffer"] += 1;
    const FakeResponse* response = Answer(settings, url, urlLength, result);
    if (response == nullptr) return false;
    u64 n = std::min<u64>(response->body.size(), capacity);
    std::memcpy(buffer, response->body.data(), n);
    result->bytes = n;
    if (response->body.size() > capacity) {
        result->stage = static_cast<u32>(HttpStage::TooLarge);
        return false;
    }
    return true;
}

bool HttpGetToFile(const UpdateSettings& settings, const char* url, u64 urlLength,
                   const UpdatePaths& paths, u64 maxBytes, HttpResult* result) {
    g_fake.calls["HttpGetToFile"] += 1;
    const FakeResponse* response = Answer(settings, url, urlLength, result);
    if (response == nullptr) return false;
    result->bytes = response->body.size();
    if (response->body.size() > maxBytes) {
        result->stage = static_cast<u32>(HttpStage::TooLarge);
        return false;
    }
    if (!WriteToFile(paths.downloadHandle, response->body.data(), response->body.size())) {
        result->stage = static_cast<u32>(HttpStage::FileWrite);
        result->systemError = 112;  // ERROR_DISK_FULL
        return false;
    }
    return true;
}

// --- trust ----------------------------------------------------------------

// The fake's "signature" by a key: the digest, then the key's first 32 bytes.
bool VerifyPublisherSignature(const u8 key[64], const u8 digest[32], const u8 signature[64]) {
    g_fake.calls["VerifyPublisherSignature"] += 1;
    return std::memcmp(signature, digest, 32) == 0 && std::memcmp(signature + 32, key, 32) == 0;
}

i64 SystemClockSeconds() { return g_fake.clockSeconds; }

void CheckSigner(const PathBuffer&, void* file, const char* publisher, u64 publisherLength,
                 u32 revocationChecks, u32 providerFlags, VerifyResult* result, bool* signedOk,
                 bool* signerMatches) {
    g_fake.calls["CheckSigner"] += 1;
    const std::string& bytes = HandleOf(file)->file->bytes;
    size_t marker = bytes.find("signer=", 4096);
    *signedOk = marker != std::string::npos;
    *signerMatches = false;
    result->revocationChecks = revocationChecks;
    result->providerFlags = providerFlags;
    result->trustResult = *signedOk ? 0 : static_cast<i32>(0x800B0100u);  // TRUST_E_NOSIGNATURE
    if (*signedOk) {
        size_t start = marker + 7;
        std::string name = bytes.substr(start, bytes.find('\n', start) - start);
        *signerMatches = name == std::string(publisher, publisherLength);
    }
}
