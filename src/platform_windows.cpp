// The platform layer on Windows.
#include "platform.h"

#include <windows.h>  // before the other Windows headers, which need its definitions

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

namespace platform {
namespace {

std::wstring wide(const char *utf8)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    std::wstring text(length > 0 ? length : 1, L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8, -1, &text[0], length);
    return text;
}

std::string utf8(const wchar_t *text)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string converted(length > 0 ? length : 1, '\0');
    if (length > 0)
        WideCharToMultiByte(CP_UTF8, 0, text, -1, &converted[0], length, nullptr, nullptr);
    converted.pop_back();
    return converted;
}

// Windows has no inode: a file is its volume serial number and its index on that volume.
bool identify_handle(HANDLE handle, FileIdentity *identity)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &info))
        return false;
    *identity = {info.dwVolumeSerialNumber,
                 (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow};
    return true;
}

// Handle values are small multiples of four; a process of this size holds far fewer than this many.
constexpr std::uintptr_t highest_handle_value = 4 * 4096;

}  // namespace

bool identify_path(const char *path, FileIdentity *identity)
{
    HANDLE handle = CreateFileW(wide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    const bool known = identify_handle(handle, identity);
    if (handle != INVALID_HANDLE_VALUE)
        CloseHandle(handle);
    return known;
}

bool identify_descriptor(int fd, FileIdentity *identity)
{
    return identify_handle(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), identity);
}

// Windows lists no handles of a process to the process itself: ask each value that a handle can have.
// The report streams only write, so they are left out.
bool is_open_for_reading(const FileIdentity &file)
{
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE), errors = GetStdHandle(STD_ERROR_HANDLE);
    for (std::uintptr_t value = 4; value <= highest_handle_value; value += 4) {
        const HANDLE handle = reinterpret_cast<HANDLE>(value);
        FileIdentity identity;
        if (handle != output && handle != errors && GetFileType(handle) == FILE_TYPE_DISK &&
            identify_handle(handle, &identity) && identity == file)
            return true;
    }
    return false;
}

std::FILE *open_for_writing(const char *filename) { return _wfopen(wide(filename).c_str(), L"wb"); }

void detach_from_standard_streams() {}

void binary_standard_input() { _setmode(_fileno(stdin), _O_BINARY); }

// Windows gives main its arguments in the ANSI code page, which cannot hold every name; the wide
// command line can, and the library takes file names in UTF-8.
std::vector<std::string> utf8_arguments(int, char **)
{
    int count = 0;
    wchar_t **arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> converted;
    for (int i = 0; arguments && i < count; i++)
        converted.push_back(utf8(arguments[i]));
    LocalFree(arguments);
    return converted;
}

// Schannel verifies against the Windows certificate store.
const char *ca_bundle() { return nullptr; }

}  // namespace platform
