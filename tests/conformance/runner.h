// The row runner of the platform conformance suite.
//
// The suite is built twice from the same sources: natively against the
// stand-ins of platform/linux, and with mingw-w64 against the system's own
// functions, run under Wine. Each case is a row; a row collects every
// mismatch between what a call did and what the row expects, and is counted
// once, as passed or failed.
//
// A row may carry a known difference of Wine's: the reason Wine does not do
// what the platform documents. Or it may state a choice of the stand-in's
// where neither the documentation nor Wine's conformance tests (which pass
// on Windows) say what the platform does, and Wine does otherwise. Under
// Wine such a row is run and reported, but its failure does not fail the
// run, and a marked row that passes is reported too, so that a mark that has
// gone stale shows. Everywhere else (the stand-ins, Windows itself) a marked
// row must pass like any other.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/temp_dir.h"

namespace vh::conformance {

// ---- What differs between the two builds (target_*.cpp) ---------------------------

// True when the suite runs on Wine rather than on the stand-ins or Windows.
bool running_on_wine();
// Points the registry functions at a store of the suite's own inside that
// directory, where the platform allows choosing one (the stand-in); on
// Windows the suite works below a key of its own instead.
void use_private_registry(const std::filesystem::path& directory);

// ---- Running rows ------------------------------------------------------------------------

// The mark of a row that states a choice of the stand-in's (see above).
struct StandInChoice {
    const char* reason;
};

class Runner {
public:
    explicit Runner(bool on_wine) : m_on_wine(on_wine) {}

    // Starts a group of rows (profile, registry, files, code page).
    void begin_group(std::string name);
    // Counts one row: it passed when there were no mismatches.
    void report(const std::string& row, const char* wine_difference, bool choice,
                const std::vector<std::string>& mismatches);
    // Prints the counts and returns the process's exit code.
    int finish();

private:
    struct Group {
        std::string name;
        int rows = 0;
    };

    bool m_on_wine;
    std::vector<Group> m_groups;
    int m_passed = 0;
    int m_failed = 0;
    int m_known = 0;  // marked rows that failed on Wine
    int m_stale = 0;  // marked rows that passed on Wine
    int m_marked = 0;
    int m_choices = 0;  // of those, the stand-in's choices
};

// One row: collects the mismatches of its checks and reports them to the
// runner when it goes out of scope.
class Row {
public:
    Row(Runner& runner, std::string name, const char* wine_difference = nullptr);
    Row(Runner& runner, std::string name, StandInChoice choice);
    ~Row();
    Row(const Row&) = delete;
    Row& operator=(const Row&) = delete;

    // A number the call returned or left (status, count, length, type).
    void number(std::string_view what, long long got, long long want);
    // Bytes the call left: a buffer, a file, a name.
    void bytes(std::string_view what, std::string_view got, std::string_view want);
    void that(std::string_view what, bool holds);

private:
    Runner& m_runner;
    std::string m_name;
    const char* m_wine_difference;
    bool m_choice = false;
    std::vector<std::string> m_mismatches;
};

// Bytes as a readable, escaped text ("\0", "\xCC").
std::string show(std::string_view bytes);

// The byte every buffer is filled with before a call.
constexpr char sentinel = '\xCC';

// A buffer of `capacity` bytes and a margin after it, all sentinel, so that
// a row sees each byte a call wrote and any it wrote past the capacity.
class Buffer {
public:
    explicit Buffer(std::size_t capacity) : m_bytes(capacity + margin, sentinel), m_capacity(capacity) {}
    char* text() { return m_bytes.data(); }
    unsigned char* data() { return reinterpret_cast<unsigned char*>(m_bytes.data()); }
    // The whole buffer, margin included.
    std::string_view contents() const { return m_bytes; }
    // What the whole buffer holds when a call wrote `written` at its start
    // and nothing else.
    std::string after(std::string_view written) const;

private:
    static constexpr std::size_t margin = 4;
    std::string m_bytes;
    std::size_t m_capacity;
};

// Whole contents of a file ("" when missing), and a file with exactly these bytes.
using vh::test::read_file;
using vh::test::write_file;

// The groups of rows.
void run_profile_rows(Runner& runner, const std::filesystem::path& directory);
void run_registry_rows(Runner& runner);
void run_file_rows(Runner& runner, const std::filesystem::path& directory);
void run_code_page_rows(Runner& runner);

}  // namespace vh::conformance
