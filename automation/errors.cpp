#include "automation/errors.h"

#include <new>

namespace vh {

void raise_error(int number)
{
    throw Error(error_status(number));
}

void raise_status(HRESULT status)
{
    throw Error(status);
}

void check_runtime(HRESULT status)
{
    if (SUCCEEDED(status)) {
        return;
    }
    switch (status) {
        case E_OUTOFMEMORY:
            raise_error(err::out_of_memory);
        case DISP_E_BADINDEX:
            raise_error(err::subscript);
        case DISP_E_OVERFLOW:
            raise_error(err::overflow);
        case DISP_E_TYPEMISMATCH:
        case DISP_E_BADVARTYPE:
            raise_error(err::type_mismatch);
        case E_INVALIDARG:
            raise_error(err::invalid_argument);
        default:
            raise_status(status);
    }
}

HRESULT status_of_current_exception() noexcept
{
    try {
        throw;
    } catch (const Error& e) {
        return e.status();
    } catch (const std::bad_alloc&) {
        return error_status(err::out_of_memory);
    } catch (...) {
        return E_UNEXPECTED;
    }
}

HRESULT status_at_edge() noexcept
{
    // As inside a member, but in the system's own terms: memory and the
    // system's errors have statuses of their own here.
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const std::system_error& e) {
        return status_of_error_code(e.code());
    } catch (...) {
        return status_of_current_exception();
    }
}

HRESULT status_of_error_code(const std::error_code& code) noexcept
{
    // Win32 codes (Windows) and errno values (elsewhere) meet in the
    // portable conditions; the system's own category maps its codes there.
    const std::error_condition condition = code.default_error_condition();
    if (condition.category() != std::generic_category()) {
        return E_FAIL;
    }
    const auto win32 = [](DWORD error) { return HRESULT_FROM_WIN32(error); };
    switch (static_cast<std::errc>(condition.value())) {
        case std::errc::no_such_file_or_directory:
            return win32(ERROR_FILE_NOT_FOUND);
        case std::errc::not_a_directory:
            return win32(ERROR_PATH_NOT_FOUND);
        case std::errc::permission_denied:
        case std::errc::operation_not_permitted:
            return win32(ERROR_ACCESS_DENIED);
        case std::errc::file_exists:
            return win32(ERROR_FILE_EXISTS);
        case std::errc::no_space_on_device:
            return win32(ERROR_DISK_FULL);
        case std::errc::filename_too_long:
            return win32(ERROR_FILENAME_EXCED_RANGE);
        case std::errc::too_many_files_open:
            return win32(ERROR_TOO_MANY_OPEN_FILES);
        case std::errc::device_or_resource_busy:
            return win32(ERROR_SHARING_VIOLATION);
        case std::errc::not_enough_memory:
            return E_OUTOFMEMORY;
        case std::errc::invalid_argument:
            return E_INVALIDARG;
        default:
            return E_FAIL;
    }
}

std::u16string_view describe(HRESULT status) noexcept
{
    switch (status) {
        case error_status(err::invalid_argument):
            return u"Invalid procedure call or argument";
        case error_status(err::overflow):
            return u"Overflow";
        case error_status(err::out_of_memory):
            return u"Out of memory";
        case error_status(err::subscript):
            return u"Subscript out of range";
        case error_status(err::type_mismatch):
            return u"Type mismatch";
        case error_status(err::bad_file_name):
            return u"Bad file name";
        case error_status(err::file_not_found):
            return u"File not found";
        case error_status(err::too_many_files):
            return u"Too many files";
        case error_status(err::permission_denied):
            return u"Permission denied";
        case error_status(err::path_file_access):
            return u"Path/File access error";
        case error_status(err::path_not_found):
            return u"Path not found";
        case E_OUTOFMEMORY:
            return u"Out of memory";
        case E_ACCESSDENIED:
            return u"Access is denied";
        case E_INVALIDARG:
            return u"The parameter is incorrect";
        default:
            return u"The operation failed";
    }
}

std::int16_t add16(std::int16_t a, std::int16_t b)
{
    return to_int16(std::int32_t{a} + std::int32_t{b});
}

std::int32_t add32(std::int32_t a, std::int32_t b)
{
    return to_int32(std::int64_t{a} + std::int64_t{b});
}

std::int32_t sub32(std::int32_t a, std::int32_t b)
{
    return to_int32(std::int64_t{a} - std::int64_t{b});
}

std::int16_t to_int16(std::int64_t value)
{
    if (value < std::numeric_limits<std::int16_t>::min() ||
        value > std::numeric_limits<std::int16_t>::max()) {
        raise_error(err::overflow);
    }
    return static_cast<std::int16_t>(value);
}

std::int32_t to_int32(std::int64_t value)
{
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        raise_error(err::overflow);
    }
    return static_cast<std::int32_t>(value);
}

}  // namespace vh
