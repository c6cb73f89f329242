// What a verb prints: plain lines for a person, or one JSON document for a
// program (--json).
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace vh::cli {

// A JSON string literal of UTF-8 text. Besides what JSON requires (the
// control characters below U+0020), DEL and the C1 controls (U+007F to
// U+009F) are escaped as \u00XX too, so that no byte of it drives a terminal.
std::string json_string(std::string_view text);

// Text as a terminal may show it: control characters (below 0x20, DEL, the
// C1 controls U+0080 to U+009F) and bytes that are not UTF-8 become \xNN or
// \u00NN, so that a name cannot move the cursor, set the title or send the
// terminal any other command. Everything else, the backslash included,
// stays as it is.
std::string terminal_text(std::string_view text);

// Plain lines go out as they are to a file or a pipe, where a script reads
// them, and as terminal_text on a terminal.
class Output {
public:
    explicit Output(bool json);
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
    // What to print of plain text on standard output or standard error.
    std::string shown(const std::string& text) const;
    std::string shown_on_error(const std::string& text) const;

    bool m_json;
    bool m_out_terminal;
    bool m_error_terminal;
    mutable bool m_progress_shown = false;
};

}  // namespace vh::cli
