// Several processes doing random registry operations on a few shared keys,
// every answer checked against the states the store really went through.
//
// Each process records every call it makes with the moments it began and
// ended on one clock all processes share (an atomic counter in shared
// memory). Every value written is unique and describes itself (who wrote it,
// its number, its size; the rest of its bytes follow from those), so a read
// tells which write it saw, or that it saw garbage. Afterwards each value is
// checked as a register: a read may give the bytes of a write that began
// before the read ended, unless another write or a deletion of that value
// both began after that write ended and ended before the read began (then
// the read saw a state that was already gone); "missing" is checked the same
// way against deletions. A read of bytes no write made, of a write that
// failed, or of a mix of two writes is wrong at once.
//
// The second case adds a process that meddles: it creates, truncates,
// deletes and replaces a file where the first release kept its count of
// changes, and gives the store a second name (a hard link) for a moment,
// trying to use it; and one worker reaches the store through a symbolic
// link. Calls refused while the store has two names are failures, never
// answers.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "tests/support/environment.h"
#include "tests/support/temp_dir.h"

namespace {

constexpr int workers = 3;
constexpr int steps = 4000;
constexpr int key_count = 3;
constexpr int value_count = 4;
constexpr std::uint32_t largest = 3000;
constexpr char base[] = "Software\\Vornhall Differential";
const DWORD types[] = {REG_BINARY, REG_DWORD, REG_NONE, REG_QWORD};

enum class Op : std::uint8_t { write, remove_value, remove_key, read, read_at, list };

// One call as a worker made it.
struct Record {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    Op op = Op::read;
    std::uint8_t key = 0;
    std::uint8_t value = 0;  // the value name's number
    LSTATUS status = 0;
    std::uint32_t content = 0;  // written, or read (0: nothing read)
    bool missing = false;       // a read that found no such value
    bool wrong = false;         // seen wrong at once (bytes, sizes, statuses, overruns)
};

struct Shared {
    std::atomic<std::uint64_t> clock;
    Record records[workers][steps];
};

std::string key_path(int key)
{
    return std::string(base) + "\\K" + std::to_string(key);
}

std::string value_name(int value)
{
    return "v" + std::to_string(value);
}

// A write's identity: worker and step, never 0.
std::uint32_t content_of(int worker, int step)
{
    return (static_cast<std::uint32_t>(worker + 1) << 20) | static_cast<std::uint32_t>(step);
}

std::uint32_t size_of(std::uint32_t content)
{
    return 8 + (content * 2654435761u) % (largest - 8);
}

DWORD type_of(std::uint32_t content)
{
    return types[content % 4];
}

std::vector<BYTE> bytes_of(std::uint32_t content)
{
    std::vector<BYTE> bytes(size_of(content));
    const std::uint32_t size = size_of(content);
    std::memcpy(bytes.data(), &content, 4);
    std::memcpy(bytes.data() + 4, &size, 4);
    for (std::size_t i = 8; i < bytes.size(); ++i) {
        bytes[i] = static_cast<BYTE>(content * 31 + i * 7);
    }
    return bytes;
}

// The write whose bytes these are, or 0 when no write made them.
std::uint32_t content_in(DWORD type, const BYTE* data, DWORD size)
{
    std::uint32_t content = 0;
    if (size < 8) {
        return 0;
    }
    std::memcpy(&content, data, 4);
    if (content == 0 || size != size_of(content) || type != type_of(content)) {
        return 0;
    }
    return std::memcmp(bytes_of(content).data(), data, size) == 0 ? content : 0;
}

// A buffer for data with a sentinel run after the capacity given.
struct Guarded {
    explicit Guarded(DWORD size) : bytes(size + 64, 0xA5), capacity(size) {}
    bool intact() const
    {
        for (std::size_t i = capacity + 1; i < bytes.size(); ++i) {  // one byte for a string's terminator
            if (bytes[i] != 0xA5) {
                return false;
            }
        }
        return true;
    }
    std::vector<BYTE> bytes;
    DWORD capacity;
};

class Worker {
public:
    Worker(Shared& shared, int index) : m_shared(shared), m_index(index), m_random(1234u + index) {}

    void run()
    {
        for (int step = 0; step < steps; ++step) {
            Record& record = m_shared.records[m_index][step];
            record.key = static_cast<std::uint8_t>(pick(key_count));
            record.value = static_cast<std::uint8_t>(pick(value_count));
            const int dice = pick(100);
            if (dice < 30) {
                write(record, step);
            } else if (dice < 38) {
                remove_value(record);
            } else if (dice < 42) {
                remove_key(record);
            } else if (dice < 72) {
                read(record);
            } else if (dice < 87) {
                read_at(record);
            } else {
                list(record);
            }
        }
    }

private:
    int pick(int count) { return static_cast<int>(m_random() % static_cast<unsigned>(count)); }
    std::uint64_t now() { return m_shared.clock.fetch_add(1) + 1; }

    HKEY open(const Record& record, bool create)
    {
        HKEY key = nullptr;
        const std::string path = key_path(record.key);
        const LSTATUS status = create
                                   ? RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0,
                                                     KEY_ALL_ACCESS, nullptr, &key, nullptr)
                                   : RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, KEY_ALL_ACCESS, &key);
        return status == ERROR_SUCCESS ? key : nullptr;
    }

    void write(Record& record, int step)
    {
        record.op = Op::write;
        record.content = content_of(m_index, step);
        const HKEY key = open(record, true);
        if (key == nullptr) {
            record.status = -1;
            return;
        }
        const std::vector<BYTE> bytes = bytes_of(record.content);
        record.start = now();
        record.status = RegSetValueExA(key, value_name(record.value).c_str(), 0, type_of(record.content),
                                       bytes.data(), static_cast<DWORD>(bytes.size()));
        record.end = now();
        RegCloseKey(key);
    }

    void remove_value(Record& record)
    {
        record.op = Op::remove_value;
        const HKEY key = open(record, false);
        if (key == nullptr) {
            record.status = -1;
            return;
        }
        record.start = now();
        record.status = RegDeleteValueA(key, value_name(record.value).c_str());
        record.end = now();
        RegCloseKey(key);
    }

    void remove_key(Record& record)
    {
        record.op = Op::remove_key;
        record.start = now();
        record.status = RegDeleteKeyA(HKEY_CURRENT_USER, key_path(record.key).c_str());
        record.end = now();
    }

    void check_data(Record& record, LSTATUS status, DWORD type, const Guarded& buffer, DWORD size)
    {
        if (!buffer.intact()) {
            record.wrong = true;
        } else if (status == ERROR_SUCCESS) {
            record.content = content_in(type, buffer.bytes.data(), size);
            record.wrong = record.content == 0;
        } else if (status == ERROR_MORE_DATA) {
            record.wrong = size <= buffer.capacity || size > largest;
        }
    }

    void read(Record& record)
    {
        record.op = Op::read;
        const HKEY key = open(record, false);
        if (key == nullptr) {
            record.status = -1;
            return;
        }
        Guarded buffer(pick(8) == 0 ? static_cast<DWORD>(pick(64)) : largest);
        DWORD size = buffer.capacity;
        DWORD type = 0;
        record.start = now();
        record.status = RegQueryValueExA(key, value_name(record.value).c_str(), nullptr, &type,
                                         buffer.bytes.data(), &size);
        record.end = now();
        RegCloseKey(key);
        record.missing = record.status == ERROR_FILE_NOT_FOUND;
        check_data(record, record.status, type, buffer, size);
    }

    void read_at(Record& record)
    {
        record.op = Op::read_at;
        const HKEY key = open(record, false);
        if (key == nullptr) {
            record.status = -1;
            return;
        }
        char name[16];
        DWORD length = sizeof name;
        Guarded buffer(pick(8) == 0 ? static_cast<DWORD>(pick(64)) : largest);
        DWORD size = buffer.capacity;
        DWORD type = 0;
        record.start = now();
        record.status = RegEnumValueA(key, static_cast<DWORD>(pick(value_count)), name, &length, nullptr,
                                      &type, buffer.bytes.data(), &size);
        record.end = now();
        RegCloseKey(key);
        if (record.status == ERROR_SUCCESS) {
            const std::string found(name, length);
            record.wrong =
                found.size() != 2 || found[0] != 'v' || found[1] < '0' || found[1] >= '0' + value_count;
            record.value = static_cast<std::uint8_t>(found[1] - '0');
        }
        if (!record.wrong) {
            check_data(record, record.status, type, buffer, size);
        }
    }

    // A listing is many calls; each name it gives was there at some moment
    // of it. Recorded as one read of "present" for the first name listed.
    void list(Record& record)
    {
        record.op = Op::list;
        const HKEY key = open(record, false);
        if (key == nullptr) {
            record.status = -1;
            return;
        }
        record.start = now();
        record.status = ERROR_NO_MORE_ITEMS;
        for (DWORD index = 0; index < 16; ++index) {
            char name[16];
            DWORD length = sizeof name;
            DWORD size = 0;
            DWORD type = 0;
            const LSTATUS status = RegEnumValueA(key, index, name, &length, nullptr, &type, nullptr, &size);
            if (status != ERROR_SUCCESS) {
                record.wrong =
                    status != ERROR_NO_MORE_ITEMS && status != ERROR_KEY_DELETED && status != ERROR_CANTOPEN;
                break;
            }
            record.wrong = record.wrong || length != 2 || name[0] != 'v' || size < 8 || size > largest;
            if (index == 0 && !record.wrong) {
                record.status = ERROR_SUCCESS;
                record.value = static_cast<std::uint8_t>(name[1] - '0');
            }
        }
        record.end = now();
        RegCloseKey(key);
    }

    Shared& m_shared;
    int m_index;
    std::mt19937 m_random;
};

struct Figures {
    int operations = 0;
    int reads_checked = 0;
    int wrong = 0;
};

// The register check of every read (see the top of the file).
Figures check(const Shared& shared)
{
    Figures figures;
    struct Event {
        std::uint64_t start, end;
        std::uint32_t content;  // 0: the value gone
        bool certain;           // it happened (a status of success)
    };
    std::vector<Event> history[key_count][value_count];
    for (int k = 0; k < key_count; ++k) {
        for (int v = 0; v < value_count; ++v) {
            history[k][v].push_back(Event{0, 0, 0, true});  // missing before anything
        }
    }
    for (int w = 0; w < workers; ++w) {
        for (const Record& r : shared.records[w]) {
            ++figures.operations;
            if (r.status == -1) {
                continue;  // its key could not be opened: no call was made
            }
            if (r.op == Op::write && r.status == ERROR_SUCCESS) {
                history[r.key][r.value].push_back(Event{r.start, r.end, r.content, true});
            } else if (r.op == Op::remove_value && r.status == ERROR_SUCCESS) {
                history[r.key][r.value].push_back(Event{r.start, r.end, 0, true});
            } else if (r.op == Op::remove_key && r.status == ERROR_SUCCESS) {
                for (int v = 0; v < value_count; ++v) {
                    history[r.key][v].push_back(Event{r.start, r.end, 0, true});
                }
            }
        }
    }
    const auto seen_was_there = [&](const Record& r, bool any_content) {
        const std::vector<Event>& events = history[r.key][r.value];
        for (const Event& e : events) {
            const bool matches = any_content ? e.content != 0 : e.content == (r.missing ? 0 : r.content);
            if (!matches || e.start > r.end) {
                continue;
            }
            bool superseded = false;
            for (const Event& later : events) {
                if (&later != &e && later.certain && later.start > e.end && later.end < r.start) {
                    superseded = true;
                    break;
                }
            }
            if (!superseded) {
                return true;
            }
        }
        return false;
    };
    for (int w = 0; w < workers; ++w) {
        for (const Record& r : shared.records[w]) {
            bool wrong = r.wrong;
            const bool answered = r.status == ERROR_SUCCESS || (r.op == Op::read && r.missing);
            if (!wrong && answered && (r.op == Op::read || r.op == Op::read_at || r.op == Op::list)) {
                ++figures.reads_checked;
                wrong = !seen_was_there(r, r.op == Op::list);
            }
            if (wrong) {
                ++figures.wrong;
                if (figures.wrong <= 5) {
                    std::fprintf(
                        stderr,
                        "wrong: worker %d op %d key %d value %d status %d content %08x at %llu-%llu\n", w,
                        static_cast<int>(r.op), r.key, r.value, static_cast<int>(r.status), r.content,
                        static_cast<unsigned long long>(r.start), static_cast<unsigned long long>(r.end));
                }
            }
        }
    }
    return figures;
}

// Meddles until told to stop (see the top of the file).
void meddle(const std::string& store, const std::atomic<bool>& stop)
{
    const std::string counter = store + "-changes";
    const std::string second = store + ".second";
    for (int round = 0; !stop.load(); ++round) {
        switch (round % 5) {
            case 0:
                vh::test::write_file(counter, std::string(4096, '\x7F'));
                break;
            case 1:
                truncate(counter.c_str(), 0);
                break;
            case 2:
                unlink(counter.c_str());
                mkdir(counter.c_str(), 0);
                break;
            case 3: {
                rmdir(counter.c_str());
                if (link(store.c_str(), second.c_str()) == 0) {
                    vh::test::set_environment("VORNHALL_REGISTRY", second.c_str());
                    HKEY key = nullptr;
                    const LSTATUS status = RegOpenKeyExA(HKEY_CURRENT_USER, base, 0, KEY_READ, &key);
                    if (status != ERROR_CANTOPEN) {
                        std::fprintf(stderr, "a store with two names was opened: status %d\n",
                                     static_cast<int>(status));
                        _exit(2);
                    }
                    unlink(second.c_str());
                }
                break;
            }
            default:
                unlink(counter.c_str());
                break;
        }
        usleep(2000);
    }
}

class RegistryDifferential : public testing::Test {
protected:
    void SetUp() override
    {
        vh::test::set_environment("VORNHALL_REGISTRY", m_store.c_str());
        HKEY key = nullptr;
        ASSERT_EQ(
            RegCreateKeyExA(HKEY_CURRENT_USER, base, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
            ERROR_SUCCESS);
        RegCloseKey(key);
        void* memory =
            mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(memory, MAP_FAILED);
        m_shared = new (memory) Shared{};
    }
    void TearDown() override { munmap(m_shared, sizeof(Shared)); }

    // Runs the workers (and the meddler) as processes; the number of them
    // that did not end normally.
    int run(bool meddling)
    {
        const std::string link = m_dir.file("link.db");
        if (meddling) {
            EXPECT_EQ(symlink(m_store.c_str(), link.c_str()), 0);
        }
        std::vector<pid_t> children;
        for (int w = 0; w < workers; ++w) {
            const pid_t pid = fork();
            if (pid == 0) {
                if (meddling && w == workers - 1) {
                    vh::test::set_environment("VORNHALL_REGISTRY", link.c_str());
                }
                Worker(*m_shared, w).run();
                _exit(0);
            }
            children.push_back(pid);
        }
        auto* stop = static_cast<std::atomic<bool>*>(mmap(
            nullptr, sizeof(std::atomic<bool>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        new (stop) std::atomic<bool>(false);
        pid_t meddler = -1;
        if (meddling) {
            meddler = fork();
            if (meddler == 0) {
                meddle(m_store, *stop);
                _exit(0);
            }
        }
        int crashed = 0;
        for (const pid_t child : children) {
            int status = 0;
            crashed +=
                waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
        }
        stop->store(true);
        if (meddler > 0) {
            int status = 0;
            crashed +=
                waitpid(meddler, &status, 0) == meddler && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0
                                                                                                         : 1;
        }
        munmap(stop, sizeof(std::atomic<bool>));
        return crashed;
    }

    void expect_no_wrong_answer(bool meddling)
    {
        const int crashed = run(meddling);
        const Figures figures = check(*m_shared);
        std::printf(
            "registry differential%s: %d processes, %d operations, %d reads checked, %d wrong, %d crashed\n",
            meddling ? " with meddling" : "", workers + (meddling ? 1 : 0), figures.operations,
            figures.reads_checked, figures.wrong, crashed);
        EXPECT_EQ(crashed, 0);
        EXPECT_EQ(figures.wrong, 0);
        EXPECT_GT(figures.reads_checked, workers * steps / 4);
    }

    vh::test::TempDir m_dir;
    std::string m_store = m_dir.file("registry.db");
    Shared* m_shared = nullptr;
};

TEST_F(RegistryDifferential, EveryReadSawAStateThatExisted)
{
    expect_no_wrong_answer(false);
}

TEST_F(RegistryDifferential, EveryReadSawAStateThatExistedWhileAnotherProcessMeddles)
{
    expect_no_wrong_answer(true);
}

}  // namespace
