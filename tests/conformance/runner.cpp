#include "tests/conformance/runner.h"

#include <cstdio>

namespace vh::conformance {

void Runner::begin_group(std::string name)
{
    m_groups.push_back(Group{std::move(name), 0});
}

void Runner::report(const std::string& row, const char* wine_difference, bool choice,
                    const std::vector<std::string>& mismatches)
{
    const std::string group = m_groups.empty() ? std::string("rows") : m_groups.back().name;
    if (!m_groups.empty()) {
        ++m_groups.back().rows;
    }
    if (wine_difference != nullptr) {
        ++m_marked;
        m_choices += choice ? 1 : 0;
    }
    const bool passed = mismatches.empty();
    if (wine_difference != nullptr && m_on_wine) {
        if (passed) {
            ++m_stale;
            ++m_passed;
            std::printf("MARKED ROW PASSES: %s: %s (marked: %s)\n", group.c_str(), row.c_str(),
                        wine_difference);
        } else {
            ++m_known;
            std::printf("known difference%s: %s: %s\n    (%s)\n", choice ? " (the stand-in's choice)" : "",
                        group.c_str(), row.c_str(), wine_difference);
            for (const std::string& mismatch : mismatches) {
                std::printf("    %s\n", mismatch.c_str());
            }
        }
        return;
    }
    if (passed) {
        ++m_passed;
        return;
    }
    ++m_failed;
    std::printf("FAIL %s: %s\n", group.c_str(), row.c_str());
    for (const std::string& mismatch : mismatches) {
        std::printf("    %s\n", mismatch.c_str());
    }
}

int Runner::finish()
{
    std::string counts;
    for (const Group& group : m_groups) {
        counts += (counts.empty() ? "" : ", ") + group.name + " " + std::to_string(group.rows);
    }
    std::printf("rows: %s; %d marked as differences of Wine's, %d as the stand-in's own choices\n",
                counts.c_str(), m_marked - m_choices, m_choices);
    if (m_on_wine) {
        std::printf("known differences: %d failed as marked, %d marked rows passed\n", m_known, m_stale);
    }
    // Known differences count neither as passed nor as failed.
    std::printf("conformance: %d passed, %d failed\n", m_passed, m_failed);
    std::fflush(stdout);
    return m_failed == 0 ? 0 : 1;
}

Row::Row(Runner& runner, std::string name, const char* wine_difference)
    : m_runner(runner), m_name(std::move(name)), m_wine_difference(wine_difference)
{
}

Row::Row(Runner& runner, std::string name, StandInChoice choice)
    : m_runner(runner), m_name(std::move(name)), m_wine_difference(choice.reason), m_choice(true)
{
}

Row::~Row()
{
    m_runner.report(m_name, m_wine_difference, m_choice, m_mismatches);
}

void Row::number(std::string_view what, long long got, long long want)
{
    if (got != want) {
        m_mismatches.push_back(std::string(what) + ": got " + std::to_string(got) + ", want " +
                               std::to_string(want));
    }
}

void Row::bytes(std::string_view what, std::string_view got, std::string_view want)
{
    if (got != want) {
        m_mismatches.push_back(std::string(what) + ": got \"" + show(got) + "\", want \"" + show(want) +
                               "\"");
    }
}

void Row::that(std::string_view what, bool holds)
{
    if (!holds) {
        m_mismatches.push_back(std::string(what) + ": does not hold");
    }
}

std::string show(std::string_view bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    // A buffer's untouched end is shown as a count of sentinel bytes.
    std::size_t untouched = 0;
    while (untouched < bytes.size() && bytes[bytes.size() - 1 - untouched] == sentinel) {
        ++untouched;
    }
    std::string text;
    for (const char c : bytes.substr(0, bytes.size() - untouched)) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == 0) {
            text += "\\0";
        } else if (c == '\r') {
            text += "\\r";
        } else if (c == '\n') {
            text += "\\n";
        } else if (c == '\\' || c == '"') {
            text += '\\';
            text += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            text += "\\x";
            text += digits[byte >> 4];
            text += digits[byte & 0xF];
        } else {
            text += c;
        }
    }
    if (untouched != 0) {
        text += "<" + std::to_string(untouched) + " untouched>";
    }
    return text;
}

std::string Buffer::after(std::string_view written) const
{
    std::string expected(written);
    if (expected.size() < m_bytes.size()) {
        expected.resize(m_bytes.size(), sentinel);
    }
    return expected;
}

}  // namespace vh::conformance
