// Windows: UTF-16 arguments and file names, the console, the standard
// streams, durable appends, COM port patterns and USB devices over the one
// port list, and why a port did not open.
#include "os_services.h"
#include "reporting.h"
#include "serial/port_list.h"
#include "slot_names.h" // glob_match
#include "system.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <set>
#include <sys/stat.h>
#include <windows.h>
// after windows.h
#include <shellapi.h>

static std::string utf8_of(const wchar_t *text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1)
        return "";
    std::string out((size_t)size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
    out.pop_back(); // the terminating zero
    return out;
}

// The system's message for `code` in UTF-8, trimmed as error_phrase does: the
// 8-bit text would be in the code page, not in the UTF-8 of kep-update's output.
static std::string system_phrase(long code)
{
    wchar_t *text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, (DWORD)code, 0, (wchar_t *)&text, 0, nullptr);
    std::string phrase = length ? utf8_of(text) : "error " + std::to_string(code);
    LocalFree(text);
    phrase.resize((size_t)trim_system_text(phrase.data()));
    return phrase;
}

// The words as the user typed them, in UTF-16, whatever the code page; the
// 8-bit argv would hold "?" for every character outside it.
std::vector<std::string> program_arguments(int argc, char **argv)
{
    int count = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide)
        return {argv, argv + argc};
    std::vector<std::string> words;
    for (int i = 0; i < count; i++) {
        std::string word = utf8_of(wide[i]);
        words.push_back(i > 0 && (word == "/?" || word == "-?") ? "--help" : word);
    }
    LocalFree(wide);
    return words;
}

FILE *open_file(const std::string &path, const char *mode)
{
    std::wstring wide_mode(mode, mode + strlen(mode));
    return _wfopen(utf8_path(path).c_str(), wide_mode.c_str());
}

const help_texts &system_help_texts()
{
    static const help_texts texts = {
        "COM7",
        "COM* or COM1?, * and ? as wildcards; default: every COM port",
        "Ctrl-C, Ctrl-Break, or the console window closed",
        "Examples:\n"
        "  kep-update --port COM7 --image C:\\firmware\\app.hex\n"
        "  kep-update --watch --report \"C:\\KEP station\\station.jsonl\"",
    };
    return texts;
}

static UINT console_code_page;

static void restore_console_code_page() { SetConsoleOutputCP(console_code_page); }

void guard_standard_streams()
{
    // Every text here is UTF-8: the console shows it as such for this run,
    // and gets its own code page back at the end. Files and pipes get the
    // UTF-8 bytes as they are, as the report does.
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) ||
        GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode)) {
        console_code_page = GetConsoleOutputCP();
        if (console_code_page != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
            atexit(restore_console_code_page);
    }
    // A program started without a console or with closed streams has no
    // valid descriptors 0-2; a file opened later could take their place.
    for (int fd = 0; fd <= 2; fd++)
        if (_get_osfhandle(fd) == -1 || _get_osfhandle(fd) == -2) {
            int null = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
            if (null >= 0 && null != fd) {
                _dup2(null, fd);
                _close(null);
            }
        }
}

void catch_stop_signals(void (*handler)(int))
{
    signal(SIGINT, handler);
    signal(SIGTERM, handler);
    signal(SIGBREAK, handler); // the console window closed
}

bool console_takes_escapes(void *console, const console_mode_calls *calls)
{
    unsigned long mode = 0;
    if (!calls->get_mode(console, &mode))
        return false;
    return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) ||
           calls->set_mode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

// A console interprets escape sequences only once asked to, and an older one
// refuses: it then gets the plain lines, as a file does.
bool stderr_is_live_terminal()
{
    static const console_mode_calls system_calls = {GetConsoleMode, SetConsoleMode};
    return console_takes_escapes(GetStdHandle(STD_ERROR_HANDLE), &system_calls);
}

bool stdout_is_terminal()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

int terminal_columns(int fallback)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return fallback;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

bool record_file_open(record_file *file, const std::string &path, std::string *error)
{
    file->fd = _wopen(utf8_path(path).c_str(),
                      _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY | _O_NOINHERIT,
                      _S_IREAD | _S_IWRITE);
    if (file->fd < 0)
        *error = "cannot open the report " + path + " for appending: " + strerror(errno);
    return file->fd >= 0;
}

bool record_file_append(record_file *file, const std::string &line, std::string *error)
{
    __int64 before = _lseeki64(file->fd, 0, SEEK_END);
    int n = _write(file->fd, line.data(), (unsigned)line.size());
    if (n == (int)line.size() && _commit(file->fd) == 0)
        return true;
    *error = strerror(n < 0 || n == (int)line.size() ? errno : ENOSPC);
    if (before >= 0 && _chsize_s(file->fd, before) == 0)
        _commit(file->fd);
    return false;
}

void record_file_close(record_file *file)
{
    if (file->fd >= 0)
        _close(file->fd);
    file->fd = -1;
}

std::string host_name()
{
    char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD length = sizeof name;
    return GetComputerNameA(name, &length) ? std::string(name, length) : std::string();
}

std::string station_state_folder()
{
    const wchar_t *local = _wgetenv(L"LOCALAPPDATA");
    if (!local || !*local)
        return "";
    std::string folder = utf8_of(local) + "\\kep-update";
    std::error_code code;
    std::filesystem::create_directories(utf8_path(folder), code);
    return code ? "" : folder;
}

std::vector<std::string> default_port_patterns() { return {"COM*"}; }

// The one port list: it opens no port, so a port busy with an update stays
// listed.
std::vector<std::string> matching_ports(const std::vector<std::string> &patterns)
{
    std::set<std::string> found;
    for (const auto &port : list_serial_ports())
        for (const auto &pattern : patterns)
            if (glob_match(pattern, port.label))
                found.insert(port.label);
    return {found.begin(), found.end()};
}

// `port` as typed ("COM7", "com7") or as a device name ("\\.\COM7").
usb_identity port_usb_identity(const std::string &port)
{
    for (const auto &listed : list_serial_ports())
        if (listed.usb_known && (_stricmp(listed.label.c_str(), port.c_str()) == 0 ||
                                 _stricmp(listed.name.c_str(), port.c_str()) == 0))
            return {true, listed.usb.vendor_id, listed.usb.product_id, listed.usb.serial};
    return {};
}

std::string open_failure_message(const std::string &port, long code)
{
    std::string head = "cannot open port " + port + ": ";
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return head + "it is not present; check the cable and the port name "
                      "(kep-update --list-ports shows the ports present)";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return head + "it is in use by another program, or access is denied; close the other "
                      "program and try again";
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED: return head + "it is not a serial port";
    default: return head + system_phrase(code);
    }
}

bool file_lock_take(file_lock *lock, const std::string &path, std::string *error)
{
    HANDLE file = CreateFileW(utf8_path(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    OVERLAPPED whole{};
    if (file == INVALID_HANDLE_VALUE ||
        !LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
        *error = "cannot lock " + path + ": " + system_phrase((long)GetLastError());
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        return false;
    }
    lock->handle = (intptr_t)file;
    return true;
}

void file_lock_release(file_lock *lock)
{
    if (lock->handle == -1)
        return;
    OVERLAPPED whole{};
    UnlockFileEx((HANDLE)lock->handle, 0, MAXDWORD, MAXDWORD, &whole);
    CloseHandle((HANDLE)lock->handle);
    lock->handle = -1;
}

bool replace_file_durably(const std::string &path, const std::string &text, std::string *error)
{
    std::string temporary = path + ".new";
    HANDLE file = CreateFileW(utf8_path(temporary).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    bool ok = file != INVALID_HANDLE_VALUE &&
              WriteFile(file, text.data(), (DWORD)text.size(), &written, nullptr) &&
              written == text.size() && FlushFileBuffers(file);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    ok = ok && MoveFileExW(utf8_path(temporary).c_str(), utf8_path(path).c_str(),
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!ok)
        *error = "cannot write " + path + ": " + system_phrase((long)GetLastError());
    return ok;
}
