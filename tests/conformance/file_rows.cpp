// Rows for the two file-system operations of binding a profile file: the
// test that an ordinary file stands at a path, and the creation of an empty
// file where none does.
#include <string>

#include "platform/files.h"
#include "tests/conformance/runner.h"

namespace vh::conformance {

void run_file_rows(Runner& runner, const std::filesystem::path& directory)
{
    runner.begin_group("files");
    const std::filesystem::path folder = directory / "binding";
    std::filesystem::create_directory(folder);
    const std::filesystem::path existing = folder / "existing.ini";
    write_file(existing, "[s]\r\nk=v\r\n");
    std::filesystem::create_directory(folder / "a directory");

    struct FindRow {
        const char* what;
        std::filesystem::path path;
        bool found;
        int error;
    };
    const FindRow finds[] = {
        {"an ordinary file", existing, true, 0},
        {"a missing file", folder / "missing.ini", false, 0},
        {"a file in a missing directory", folder / "no" / "such.ini", false, 0},
        {"a directory", folder / "a directory", false, 75},
    };
    for (const FindRow& row : finds) {
        Row check(runner, std::string("find_file: ") + row.what);
        const vh::platform::FileProbe probe = vh::platform::find_file(row.path.string().c_str());
        check.number("found", probe.found, row.found);
        check.number("error", probe.error, row.error);
    }
    {
        Row check(runner, "find_file: the empty path is a bad file name");
        const vh::platform::FileProbe probe = vh::platform::find_file("");
        check.number("found", probe.found, false);
        check.number("error", probe.error, 52);
    }

    struct CreateRow {
        const char* what;
        std::filesystem::path path;
        int error;
        bool file_after;    // an ordinary file stands there afterwards
        const char* bytes;  // its contents
    };
    const CreateRow creates[] = {
        {"a missing file is created empty", folder / "new.ini", 0, true, ""},
        {"an existing file is left as it is", existing, 0, true, "[s]\r\nk=v\r\n"},
        {"a missing directory is path not found", folder / "no" / "such.ini", 76, false, nullptr},
        {"a directory is a path/file access error", folder / "a directory", 75, false, nullptr},
    };
    for (const CreateRow& row : creates) {
        Row check(runner, std::string("create_empty_file: ") + row.what);
        check.number("error", vh::platform::create_empty_file(row.path.string().c_str()), row.error);
        check.number("an ordinary file stands there", std::filesystem::is_regular_file(row.path),
                     row.file_after);
        if (row.bytes != nullptr) {
            check.bytes("contents", read_file(row.path), row.bytes);
        }
    }
    {
        Row check(runner, "create_empty_file: the created file is then found");
        const vh::platform::FileProbe probe = vh::platform::find_file((folder / "new.ini").string().c_str());
        check.number("found", probe.found, true);
        check.number("error", probe.error, 0);
    }
    {
        Row check(runner, "create_empty_file: the empty path is a bad file name");
        check.number("error", vh::platform::create_empty_file(""), 52);
    }
}

}  // namespace vh::conformance
