// What a verb prints: plain lines for a person, or one JSON document for a
// program (--json).
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace vh::cli {

// A JSON string literal of UTF-8 text.
std::string json_string(std::string_view text);

class Output {
public:
    explicit Output(bool json) : m_json(json) {}
    bool json() const { return m_json; }

    // One result: printed as its plain line, or as {"result": json_value}.
    void result(const std::string& plain, const std::string& json_value) const;
    // A list of names: one per line, or a JSON array of strings.
    void names(const std::vector<std::string>& list) const;
    // A list of records whose JSON form is given: plain lines or an array.
    void records(const std::vector<std::string>& plain, const std::vector<std::string>& json) const;
    // A verb that prints nothing when it succeeds: {"ok": true} in JSON.
    void done() const;
    // A failure: the message on standard error, and in JSON also a document
    // on standard output.
    void failure(const std::string& message, int code) const;
    // Progress of long work, shown only on a terminal.
    void progress(const std::string& line) const;
    void progress_end() const;

private:
    bool m_json;
    mutable bool m_progress_shown = false;
};

}  // namespace vh::cli
