#include "tests/support/test_support.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace texweld_test {

TempDir::TempDir() {
    // create_directory reports whether it made the directory, so a name that
    // another test process took at the same moment is passed over.
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::random_device seed;
    std::mt19937 names(seed());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::filesystem::path candidate = base / ("texweld-test-" + std::to_string(names()));
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) {
            path_ = candidate.string();
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::File(std::string_view name) const {
    std::string path = path_;
    path += '/';
    path += name;
    return path;
}

void TempDir::Clear() const {
    std::error_code error;
    for (std::filesystem::directory_iterator it(path_, error), end; !error && it != end; it.increment(error)) {
        std::error_code ignored;
        std::filesystem::remove_all(it->path(), ignored);
    }
}

std::set<std::string> TempDir::Listing() const {
    std::set<std::string> names;
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(path_, error), end; !error && it != end;
         it.increment(error)) {
        // Lexically: fs::relative would resolve a link to its target's name.
        std::string name = it->path().lexically_relative(path_).string();
        if (it->is_directory() && !it->is_symlink()) {
            name += "/";
        }
        names.insert(name);
    }
    return names;
}

void WriteFileBytes(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        throw std::runtime_error("cannot write " + path);
    }
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool FileExists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

namespace {

// The hooks are plain function pointers, so the injector's state is global.
struct InjectorState {
    bool installed = false;
    enum class Mode { Off, Nth, All } mode = Mode::Off;
    std::uint32_t failAt = 0;  // with Mode::Nth: the count that fails
    int fillByte = -1;
    std::uint32_t allocations = 0;
    std::uint32_t failures = 0;
    std::uint32_t releases = 0;
    std::int64_t outstanding = 0;
    std::uint32_t sizes[AllocFaultInjector::kLoggedSizes] = {};
};

InjectorState g_state;

void* CountingAllocate(std::uint32_t byteCount) {
    const std::uint32_t number = ++g_state.allocations;
    if (number <= AllocFaultInjector::kLoggedSizes) {
        g_state.sizes[number - 1] = byteCount;
    }
    const bool fail = g_state.mode == InjectorState::Mode::All ||
                      (g_state.mode == InjectorState::Mode::Nth && number == g_state.failAt);
    if (fail) {
        ++g_state.failures;
        return nullptr;
    }
    void* block = DefaultAllocHooks().allocate(byteCount);
    if (block != nullptr) {
        ++g_state.outstanding;
        if (g_state.fillByte >= 0) {
            std::memset(block, g_state.fillByte, byteCount);
        }
    }
    return block;
}

void CountingRelease(void* block) {
    if (block != nullptr) {
        ++g_state.releases;
        --g_state.outstanding;
    }
    DefaultAllocHooks().release(block);
}

// Restarts the numbering of allocations for a newly armed failure.
void RestartAllocationCounts() {
    g_state.allocations = 0;
    g_state.failures = 0;
    std::memset(g_state.sizes, 0, sizeof g_state.sizes);
}

}  // namespace

AllocFaultInjector::AllocFaultInjector() {
    if (g_state.installed) {
        std::abort();  // one injector at a time
    }
    g_state = InjectorState{};
    g_state.installed = true;
    AllocHookTable hooks = DefaultAllocHooks();
    hooks.allocate = CountingAllocate;
    hooks.release = CountingRelease;
    previous_ = InstallAllocHooks(hooks);
}

AllocFaultInjector::~AllocFaultInjector() {
    InstallAllocHooks(previous_);
    g_state.installed = false;
    g_state.mode = InjectorState::Mode::Off;
}

void AllocFaultInjector::FailNth(std::uint32_t n) {
    RestartAllocationCounts();
    g_state.mode = InjectorState::Mode::Nth;
    g_state.failAt = n;
}

void AllocFaultInjector::FailAll() {
    RestartAllocationCounts();
    g_state.mode = InjectorState::Mode::All;
}

void AllocFaultInjector::Disarm() {
    g_state.mode = InjectorState::Mode::Off;
}

void AllocFaultInjector::ResetCounts() {
    RestartAllocationCounts();
    g_state.releases = 0;
    g_state.outstanding = 0;
}

void AllocFaultInjector::FillNewBlocks(int byte) {
    g_state.fillByte = byte;
}

std::uint32_t AllocFaultInjector::Allocations() const {
    return g_state.allocations;
}

std::uint32_t AllocFaultInjector::Failures() const {
    return g_state.failures;
}

std::uint32_t AllocFaultInjector::Releases() const {
    return g_state.releases;
}

std::int64_t AllocFaultInjector::Outstanding() const {
    return g_state.outstanding;
}

std::uint32_t AllocFaultInjector::SizeOf(std::uint32_t index) const {
    return index < kLoggedSizes ? g_state.sizes[index] : 0;
}

}  // namespace texweld_test
