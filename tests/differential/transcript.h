// The differential run's transcript and its random numbers.
//
// The same program is built natively against the stand-ins and with mingw
// against the system's own functions; both builds make the same calls in the
// same order and write one line per call: a JSON object with the call, its
// arguments and everything it returned or left in the caller's variables.
// Bytes are written as they are, each byte one character (the characters
// U+0000 to U+00FF), so that compare.py gets them back exactly. Nothing that
// differs between two runs of one system (handle values, times) is written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace vh::differential {

// One line: a JSON object, its fields in the order they are added.
class Line {
public:
    explicit Line(std::string_view op);
    Line& number(std::string_view name, long long value);
    Line& bytes(std::string_view name, std::string_view value);
    Line& list(std::string_view name, const std::vector<std::string>& values);
    // Writes the line and a line break.
    void write(std::FILE* out) const;

private:
    void key(std::string_view name);
    std::string m_text;
};

// Bytes in hexadecimal, for whole files.
std::string hex(std::string_view bytes);

// Random numbers that are the same on every system and compiler for a seed
// (SplitMix64; no standard distribution, whose results the library chooses).
class Random {
public:
    explicit Random(std::uint64_t seed) : m_state(seed) {}
    std::uint64_t next();
    // A number from 0 to count - 1.
    std::uint32_t below(std::uint32_t count) { return static_cast<std::uint32_t>(next() % count); }
    // True in `in` of `of` cases.
    bool chance(std::uint32_t in, std::uint32_t of) { return below(of) < in; }
    template <class T>
    const T& pick(const std::vector<T>& items)
    {
        return items[below(static_cast<std::uint32_t>(items.size()))];
    }

private:
    std::uint64_t m_state;
};

// The two parts of the run; each returns how many calls it made.
long run_registry_sequences(std::FILE* out, std::uint64_t seed, int sequences, int operations);
long run_profile_files(std::FILE* out, const std::string& directory);

}  // namespace vh::differential
