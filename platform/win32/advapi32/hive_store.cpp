#include "advapi32/hive_store.h"

#include "advapi32/installed_classes.h"
#include "advapi32/registry_log.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tm350::registry {

namespace {

class FileDescriptor {
public:
    explicit FileDescriptor(int descriptor = -1) : descriptor_(descriptor) {}
    ~FileDescriptor() {
        if (descriptor_ >= 0) close(descriptor_);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;

    int get() const { return descriptor_; }
    bool valid() const { return descriptor_ >= 0; }
    void Reset(int descriptor) {
        if (descriptor_ >= 0) close(descriptor_);
        descriptor_ = descriptor;
    }
    // Closes now and reports whether the close succeeded.
    bool Close() {
        const int descriptor = descriptor_;
        descriptor_ = -1;
        return close(descriptor) == 0;
    }

private:
    int descriptor_;
};

// The parsed form of a hive file together with the exact bytes it came from:
// a later read that finds the same bytes reuses the parse.
struct CachedHive {
    bool exists = false;
    std::vector<std::byte> bytes;
    HiveContents contents;
};

struct StoreState {
    // Guards `cache`, and serialises this process's store operations so that
    // threads never contend for the flock among themselves.
    std::mutex mutex;
    std::map<std::filesystem::path, CachedHive> cache;
};

StoreState &State() {
    // Never destroyed: other libraries' static destructors may still use the
    // registry after this library's would have run.
    static StoreState *state = [] {
        auto *created = new StoreState;
        // A child forked while another thread was inside the store would
        // otherwise inherit a mutex that nobody will ever unlock.
        pthread_atfork([] { State().mutex.lock(); }, [] { State().mutex.unlock(); },
                       [] { State().mutex.unlock(); });
        return created;
    }();
    return *state;
}

constexpr size_t kMaximumCachedHives = 16;

const char *FileStem(HiveKind kind) {
    switch (kind) {
    case HiveKind::ClassesRoot: return "classes_root";
    case HiveKind::CurrentUser: return "current_user";
    case HiveKind::LocalMachine: return "local_machine";
    }
    return "unknown";
}

std::filesystem::path HiveFile(const HiveLocation &location) {
    return location.directory / (std::string(FileStem(location.kind)) + ".hive");
}

std::filesystem::path WithSuffix(const std::filesystem::path &file, const char *suffix) {
    std::filesystem::path result = file;
    result += suffix;
    return result;
}

LSTATUS ReadWholeFile(const std::filesystem::path &file, bool &exists, std::vector<std::byte> &bytes) {
    FileDescriptor descriptor(open(file.c_str(), O_RDONLY | O_CLOEXEC));
    if (!descriptor.valid()) {
        if (errno == ENOENT) {
            exists = false;
            bytes.clear();
            return ERROR_SUCCESS;
        }
        LogEvent("cannot open %s: %s", file.c_str(), std::strerror(errno));
        return ERROR_REGISTRY_IO_FAILED;
    }
    exists = true;
    struct stat status {};
    if (fstat(descriptor.get(), &status) != 0) return ERROR_REGISTRY_IO_FAILED;
    bytes.resize(static_cast<size_t>(status.st_size) + 1);
    size_t filled = 0;
    for (;;) {
        if (filled == bytes.size()) bytes.resize(bytes.size() * 2);
        const ssize_t count = read(descriptor.get(), bytes.data() + filled, bytes.size() - filled);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            LogEvent("cannot read %s: %s", file.c_str(), std::strerror(errno));
            return ERROR_REGISTRY_IO_FAILED;
        }
        if (count == 0) break;
        filled += static_cast<size_t>(count);
    }
    bytes.resize(filled);
    return ERROR_SUCCESS;
}

// The contents of never-written hives, kept while they stay unwritten: the
// cache may drop such a hive, but its keys must keep their ids, or handles
// opened on them would read as deleted. Guarded by the store's mutex.
std::map<std::filesystem::path, HiveContents> &UnwrittenHives() {
    static auto *hives = new std::map<std::filesystem::path, HiveContents>;
    return *hives;
}

const HiveContents &NewMachineContents(const HiveLocation &location) {
    auto &hives = UnwrittenHives();
    const std::filesystem::path file = HiveFile(location);
    auto found = hives.find(file);
    if (found == hives.end()) found = hives.emplace(file, InstalledContents(location.kind)).first;
    return found->second;
}

// Brings the cache entry for the hive up to date with the disk. Caller holds
// the store's mutex.
LSTATUS LoadLatest(const HiveLocation &location, CachedHive *&latest) {
    const std::filesystem::path file = HiveFile(location);
    auto &cache = State().cache;
    bool exists = false;
    std::vector<std::byte> bytes;
    if (LSTATUS status = ReadWholeFile(file, exists, bytes); status != ERROR_SUCCESS) return status;

    auto found = cache.find(file);
    if (found != cache.end() && found->second.exists == exists && found->second.bytes == bytes) {
        latest = &found->second;
        return ERROR_SUCCESS;
    }
    CachedHive fresh;
    fresh.exists = exists;
    if (exists) {
        // Written at last: from now on the file decides.
        UnwrittenHives().erase(file);
        std::optional<HiveContents> decoded = DecodeHive(bytes);
        if (!decoded) {
            // Never fall back to an empty hive: that would silently lose the
            // user's data on the next write.
            LogEvent("%s is damaged (%zu bytes); refusing to use it", file.c_str(), bytes.size());
            if (found != cache.end()) cache.erase(found);
            return ERROR_REGISTRY_CORRUPT;
        }
        fresh.contents = std::move(*decoded);
    } else {
        fresh.contents = NewMachineContents(location);
    }
    fresh.bytes = std::move(bytes);
    if (found == cache.end() && cache.size() >= kMaximumCachedHives) cache.clear();
    latest = &(cache[file] = std::move(fresh));
    return ERROR_SUCCESS;
}

bool WriteAll(int descriptor, std::span<const std::byte> bytes) {
    while (!bytes.empty()) {
        const ssize_t count = write(descriptor, bytes.data(), bytes.size());
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) return false;
        bytes = bytes.subspan(static_cast<size_t>(count));
    }
    return true;
}

// Only the holder of the hive's flock calls this, so one fixed temporary
// name suffices; a temporary left by a killed writer is simply overwritten.
LSTATUS ReplaceFile(const std::filesystem::path &directory, const std::filesystem::path &file,
                    std::span<const std::byte> bytes) {
    const std::filesystem::path temporary = WithSuffix(file, ".tmp");
    FileDescriptor descriptor(open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    bool written = descriptor.valid() && WriteAll(descriptor.get(), bytes) && fsync(descriptor.get()) == 0;
    written = descriptor.valid() && descriptor.Close() && written;
    if (!written || rename(temporary.c_str(), file.c_str()) != 0) {
        LogEvent("cannot write %s: %s", file.c_str(), std::strerror(errno));
        unlink(temporary.c_str());
        return ERROR_REGISTRY_IO_FAILED;
    }
    // Makes the rename itself durable; the data is already on disk.
    FileDescriptor directory_descriptor(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory_descriptor.valid()) fsync(directory_descriptor.get());
    return ERROR_SUCCESS;
}

LSTATUS LockHive(const HiveLocation &location, const std::filesystem::path &file, FileDescriptor &lock) {
    std::error_code error;
    std::filesystem::create_directories(location.directory, error);
    if (error) {
        LogEvent("cannot create %s: %s", location.directory.c_str(), error.message().c_str());
        return ERROR_REGISTRY_IO_FAILED;
    }
    // The lock is released when `lock` closes, also when the process dies.
    lock.Reset(open(WithSuffix(file, ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!lock.valid()) {
        LogEvent("cannot open the lock of %s: %s", file.c_str(), std::strerror(errno));
        return ERROR_REGISTRY_IO_FAILED;
    }
    while (flock(lock.get(), LOCK_EX) != 0) {
        if (errno != EINTR) return ERROR_REGISTRY_IO_FAILED;
    }
    return ERROR_SUCCESS;
}

}  // namespace

std::filesystem::path CurrentRegistryDirectory() {
    if (const char *explicit_directory = std::getenv("TM350_REGISTRY"); explicit_directory && *explicit_directory) {
        return explicit_directory;
    }
    // The XDG base-directory rules ignore relative paths.
    if (const char *data_home = std::getenv("XDG_DATA_HOME"); data_home && data_home[0] == '/') {
        return std::filesystem::path(data_home) / "tm350" / "registry";
    }
    const char *home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
        const passwd *entry = getpwuid(getuid());
        home = entry != nullptr ? entry->pw_dir : nullptr;
    }
    if (home == nullptr || home[0] == '\0') return {};
    return std::filesystem::path(home) / ".local" / "share" / "tm350" / "registry";
}

LSTATUS ReadHive(const HiveLocation &location, const std::function<LSTATUS(const HiveContents &)> &reader) {
    std::lock_guard guard(State().mutex);
    CachedHive *latest = nullptr;
    if (LSTATUS status = LoadLatest(location, latest); status != ERROR_SUCCESS) return status;
    return reader(latest->contents);
}

LSTATUS ModifyHive(const HiveLocation &location, const HiveMutator &mutator) {
    std::lock_guard guard(State().mutex);
    const std::filesystem::path file = HiveFile(location);
    FileDescriptor lock;
    if (LSTATUS status = LockHive(location, file, lock); status != ERROR_SUCCESS) return status;

    CachedHive *latest = nullptr;
    if (LSTATUS status = LoadLatest(location, latest); status != ERROR_SUCCESS) return status;
    HiveContents changed = latest->contents;
    bool modified = false;
    if (LSTATUS status = mutator(changed, modified); status != ERROR_SUCCESS || !modified) return status;

    std::vector<std::byte> bytes = EncodeHive(changed);
    if (LSTATUS status = ReplaceFile(location.directory, file, bytes); status != ERROR_SUCCESS) return status;
    latest->exists = true;
    UnwrittenHives().erase(file);
    latest->bytes = std::move(bytes);
    latest->contents = std::move(changed);
    return ERROR_SUCCESS;
}

}  // namespace tm350::registry
