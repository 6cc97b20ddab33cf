// The store on disk: persistence across handles and processes, crash safety,
// concurrent writers, damaged files and concurrent threads.
#include "registry_test_support.h"

#include "support/temp_directory.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tm350::test;

namespace {

constexpr const char *kKeyPath = "Software\\LUMAVEX\\NVC480\\dshow";

// Runs `body` in a forked child; the child's exit status is its result.
pid_t Spawn(const std::function<bool()> &body) {
    const pid_t child = fork();
    if (child == 0) _exit(body() ? 0 : 1);
    return child;
}

bool ExitedCleanly(pid_t child) {
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The store's files, whatever their names: every file with contents (lock
// files are empty).
std::vector<std::filesystem::path> StoreFiles(const std::filesystem::path &directory) {
    std::vector<std::filesystem::path> files;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(directory)) {
        if (entry.is_regular_file() && entry.file_size() > 0) files.push_back(entry.path());
    }
    return files;
}

TEST(RegistryPersistence, ChangesReachOpenHandlesAndOtherProcesses) {
    TempRegistry registry;
    HKEY key = CreateKey(HKEY_CURRENT_USER, kKeyPath);
    ASSERT_EQ(SetDword(key, "Gain", 7), ERROR_SUCCESS);

    const pid_t child = Spawn([] {
        HKEY own = nullptr;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, kKeyPath, 0, KEY_ALL_ACCESS, &own) != ERROR_SUCCESS) return false;
        DWORD gain = 0, size = sizeof gain;
        if (RegQueryValueExA(own, "Gain", nullptr, nullptr, reinterpret_cast<BYTE *>(&gain), &size) != 0) return false;
        return gain == 7 && SetDword(own, "Gain", 8) == ERROR_SUCCESS && RegCloseKey(own) == ERROR_SUCCESS;
    });
    ASSERT_TRUE(ExitedCleanly(child));
    EXPECT_EQ(GetDword(key, "Gain"), 8u);
    RegCloseKey(key);

    key = CreateKey(HKEY_CURRENT_USER, kKeyPath, KEY_READ);
    EXPECT_EQ(GetDword(key, "Gain"), 8u);
    RegCloseKey(key);
}

TEST(RegistryPersistence, AWriterKilledMidWayLeavesEachValueOldOrNew) {
    TempRegistry registry;
    HKEY key = CreateKey(HKEY_CURRENT_USER, kKeyPath);
    // Large values make each write slow enough for the kill to land inside.
    constexpr size_t kBlockSize = 256 * 1024;

    for (int round = 0; round < 6; ++round) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        // Generation g writes Block (kBlockSize + g % 7 bytes of g), then
        // Generation = g.
        const pid_t child = Spawn([&] {
            for (DWORD generation = 1;; ++generation) {
                std::vector<BYTE> fill(kBlockSize + generation % 7, static_cast<BYTE>(generation));
                if (RegSetValueExA(key, "Block", 0, REG_BINARY, fill.data(), static_cast<DWORD>(fill.size())) != 0 ||
                    SetDword(key, "Generation", generation) != ERROR_SUCCESS) {
                    return false;
                }
                if (generation == 1 && write(ready[1], "!", 1) != 1) return false;
            }
        });
        char signal = 0;
        ASSERT_EQ(read(ready[0], &signal, 1), 1);
        close(ready[0]);
        close(ready[1]);
        std::this_thread::sleep_for(std::chrono::milliseconds(3 * round));
        ASSERT_EQ(kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed before it was killed";

        const DWORD generation = GetDword(key, "Generation");
        DWORD size = 0;
        ASSERT_EQ(RegQueryValueExA(key, "Block", nullptr, nullptr, nullptr, &size), ERROR_SUCCESS);
        std::vector<BYTE> block(size);
        ASSERT_EQ(RegQueryValueExA(key, "Block", nullptr, nullptr, block.data(), &size), ERROR_SUCCESS);
        // Block is Generation's or, killed between the two writes, the next.
        const BYTE fill = block[0];
        EXPECT_TRUE(fill == static_cast<BYTE>(generation) || fill == static_cast<BYTE>(generation + 1));
        const DWORD block_generation = fill == static_cast<BYTE>(generation) ? generation : generation + 1;
        EXPECT_EQ(block.size(), kBlockSize + block_generation % 7);
        EXPECT_EQ(std::count(block.begin(), block.end(), fill), static_cast<long>(block.size())) << "torn value";
    }
    RegCloseKey(key);
}

TEST(RegistryPersistence, ConcurrentWritersLoseNothing) {
    TempRegistry registry;
    RegCloseKey(CreateKey(HKEY_CURRENT_USER, kKeyPath));
    constexpr int kWriters = 4;
    constexpr int kValuesEach = 25;

    std::vector<pid_t> children;
    for (int writer = 0; writer < kWriters; ++writer) {
        children.push_back(Spawn([writer] {
            HKEY own = nullptr;
            if (RegOpenKeyExA(HKEY_CURRENT_USER, kKeyPath, 0, KEY_SET_VALUE, &own) != ERROR_SUCCESS) return false;
            for (int i = 0; i < kValuesEach; ++i) {
                const std::string name = "w" + std::to_string(writer) + "_" + std::to_string(i);
                if (SetDword(own, name.c_str(), static_cast<DWORD>(writer * 1000 + i)) != ERROR_SUCCESS) return false;
            }
            return RegCloseKey(own) == ERROR_SUCCESS;
        }));
    }
    for (pid_t child : children) EXPECT_TRUE(ExitedCleanly(child));

    HKEY key = CreateKey(HKEY_CURRENT_USER, kKeyPath, KEY_READ);
    for (int writer = 0; writer < kWriters; ++writer) {
        for (int i = 0; i < kValuesEach; ++i) {
            const std::string name = "w" + std::to_string(writer) + "_" + std::to_string(i);
            EXPECT_EQ(GetDword(key, name.c_str()), static_cast<DWORD>(writer * 1000 + i));
        }
    }
    RegCloseKey(key);
}

TEST(RegistryPersistence, ThreadsShareTheRegistrySafely) {
    TempRegistry registry;
    constexpr int kThreads = 4;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int thread = 0; thread < kThreads; ++thread) {
        threads.emplace_back([thread, &failures] {
            const std::string path = std::string(kKeyPath) + "\\thread" + std::to_string(thread);
            for (int i = 0; i < 20; ++i) {
                HKEY key = nullptr;
                if (RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                    nullptr) != ERROR_SUCCESS ||
                    SetDword(key, ("v" + std::to_string(i)).c_str(), static_cast<DWORD>(i)) != ERROR_SUCCESS ||
                    RegCloseKey(key) != ERROR_SUCCESS) {
                    ++failures;
                }
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    HKEY key = CreateKey(HKEY_CURRENT_USER, kKeyPath, KEY_READ);
    EXPECT_EQ(SubkeyNames(key).size(), static_cast<size_t>(kThreads));
    HKEY last = CreateKey(key, "thread3", KEY_READ);
    EXPECT_EQ(GetDword(last, "v19"), 19u);
    RegCloseKey(last);
    RegCloseKey(key);
}

// Each way of damaging the store: the API reports it, and a write does not
// replace the damaged file with a fresh one.
TEST(RegistryPersistence, ADamagedStoreGivesAnErrorAndIsNotReset) {
    const std::vector<std::function<void(const std::filesystem::path &)>> damages = {
        [](const std::filesystem::path &file) { std::ofstream(file, std::ios::trunc) << "garbage, not a hive"; },
        [](const std::filesystem::path &file) {
            std::filesystem::resize_file(file, std::filesystem::file_size(file) / 2);
        },
        [](const std::filesystem::path &file) {
            std::fstream stream(file, std::ios::in | std::ios::out | std::ios::binary);
            const auto middle = static_cast<std::streamoff>(std::filesystem::file_size(file) / 2);
            stream.seekg(middle);
            const char byte = static_cast<char>(stream.get() ^ 0x10);
            stream.seekp(middle);
            stream.put(byte);
        },
        [](const std::filesystem::path &file) { std::filesystem::resize_file(file, 0); },
    };
    for (size_t damage = 0; damage < damages.size(); ++damage) {
        SCOPED_TRACE(damage);
        TempRegistry registry;
        HKEY key = CreateKey(HKEY_CURRENT_USER, kKeyPath);
        ASSERT_EQ(SetDword(key, "Gain", 7), ERROR_SUCCESS);
        const auto files = StoreFiles(registry.path());
        ASSERT_EQ(files.size(), 1u);
        damages[damage](files[0]);
        const auto damaged_size = std::filesystem::file_size(files[0]);

        HKEY opened = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kKeyPath, 0, KEY_READ, &opened), ERROR_REGISTRY_CORRUPT);
        GetDword(key, "Gain", ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(SetDword(key, "Gain", 8), ERROR_REGISTRY_CORRUPT);
        EXPECT_EQ(std::filesystem::file_size(files[0]), damaged_size);
        // The other hives are unaffected.
        RegCloseKey(CreateKey(HKEY_LOCAL_MACHINE, "Software"));
        EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    }
}

TEST(RegistryPersistence, TheDirectoryFollowsTheEnvironment) {
    TempRegistry first;
    HKEY key = CreateKey(HKEY_CURRENT_USER, kKeyPath);
    ASSERT_EQ(SetDword(key, "Gain", 1), ERROR_SUCCESS);
    {
        TempRegistry second;
        HKEY other = nullptr;
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, kKeyPath, 0, KEY_READ, &other), ERROR_FILE_NOT_FOUND);
        // A handle stays with the store its key was opened in.
        EXPECT_EQ(GetDword(key, "Gain"), 1u);
    }
    HKEY again = CreateKey(HKEY_CURRENT_USER, kKeyPath, KEY_READ);
    EXPECT_EQ(GetDword(again, "Gain"), 1u);
    RegCloseKey(again);
    RegCloseKey(key);
}

}  // namespace
