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
