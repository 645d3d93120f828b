// Works the running dialog program from outside, as a user would, and prints
// what it sees for scripts/test-windows and bench/run --wine. Exit status 0,
// or 1 with a "FAIL:" line, 2 on bad usage.
//   contents                              the window, its controls, port list, place on screen,
//                                         and whether each control's text fits it at this DPI
//   update PORT OUTCOME [--second-press]  select PORT ("none": no port), press, wait for OUTCOME:
//                                         a final status or the "Terminate Program" box
//   close | version PROGRAM.exe           WM_CLOSE | the file's version resource and icon count
//   console                               kep-update's choice of a progress view, on played
//   consoles
//   dos-device NAME TARGET                NAME into the system's DOS device list, for TARGET
#include "system.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
#include <windows.h>
// after windows.h
#include <shellapi.h>

namespace
{

const char *const box_title = "Terminate Program";

[[noreturn]] void fail(const char *what, const std::string &detail = "")
{
    printf("FAIL: %s%s\n", what, detail.c_str());
    exit(1);
}

std::string text_of(HWND window)
{
    char text[2048] = "";
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, (LPARAM)text, SMTO_NORMAL, 10000,
                             &length))
        fail("a window does not answer WM_GETTEXT");
    return text;
}

std::string escaped(const std::string &text)
{
    std::string out;
    for (char c : text)
        out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
    return out;
}

std::string class_of(HWND window)
{
    char name[256] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

HWND main_window()
{
    for (int waited = 0; waited < 20000; waited += 50, Sleep(50))
        if (HWND window = FindWindowA("MRV", "KEP Update Tool"); window && IsWindowVisible(window))
            return window;
    fail("no visible window of class \"MRV\" with caption \"KEP Update Tool\"");
}

HWND child_of_class(HWND dialog, const char *window_class)
{
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if (class_of(child) == window_class)
            return child;
    fail("no control of class ", window_class);
}

std::string status_of(HWND dialog) { return text_of(child_of_class(dialog, "Edit")); }

// The styles that matter, by name; the low bits mean something else in each class.
std::string style_names(HWND window)
{
    struct flag {
        const char *window_class; // null: any
        DWORD bits;
        const char *name;
    };
    static const flag flags[] = {
        {nullptr, WS_VISIBLE, "visible"},        {nullptr, WS_POPUP, "popup"},
        {nullptr, WS_CAPTION, "caption"},        {nullptr, WS_SYSMENU, "sysmenu"},
        {nullptr, WS_TABSTOP, "tabstop"},        {nullptr, WS_BORDER, "border"},
        {"ComboBox", CBS_DROPDOWN, "dropdown"},  {"ComboBox", CBS_HASSTRINGS, "hasstrings"},
        {"Button", BS_DEFPUSHBUTTON, "default"}, {"Edit", ES_READONLY, "readonly"},
        {"Edit", ES_AUTOHSCROLL, "autohscroll"},
    };
    DWORD style = (DWORD)GetWindowLongA(window, GWL_STYLE);
    std::string names;
    for (const flag &f : flags)
        if ((style & f.bits) == f.bits && (!f.window_class || class_of(window) == f.window_class))
            names += std::string(" ") + f.name;
    return names;
}

// Measured in the template's font as the dialog manager makes it at the
// system's DPI; the longest status text stands for the status field's. A
// control also needs room for its frame, and a combo box for its arrow.
bool print_fits(HWND dialog)
{
    bool all_fit = true;
    HDC screen = GetDC(nullptr);
    int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    HFONT font = CreateFontA(-MulDiv(8, dpi, 72), 0, 0, 0, FW_NORMAL, 0, 0, 0, DEFAULT_CHARSET, 0,
                             0, 0, 0, "MS Sans Serif");
    HGDIOBJ before = SelectObject(screen, font);
    int frame = 2 * GetSystemMetrics(SM_CXEDGE);
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        std::string kind = class_of(child), text = text_of(child);
        RECT room;
        GetClientRect(child, &room);
        int spare = kind == "ComboBox" ? frame + GetSystemMetrics(SM_CXVSCROLL) : frame;
        if (kind == "Edit")
            text = "Programming Completed OK";
        if (kind == "ComboBox")
            text = "\\\\.\\com998";
        RECT need = {0, 0, room.right - (kind == "Static" ? 0 : spare), 0};
        DrawTextA(screen, text.c_str(), -1, &need,
                  DT_CALCRECT | DT_NOPREFIX | (kind == "Static" ? DT_WORDBREAK : DT_SINGLELINE));
        bool fits = need.right + (kind == "Static" ? 0 : spare) <= room.right &&
                    need.bottom <= room.bottom;
        all_fit = all_fit && fits;
        printf("%s %s at %d dpi: text %ldx%ld in %ldx%ld\n", fits ? "fits" : "clipped",
               kind.c_str(), dpi, need.right, need.bottom, room.right, room.bottom);
    }
    SelectObject(screen, before);
    DeleteObject(font);
    ReleaseDC(nullptr, screen);
    return all_fit;
}

int print_contents()
{
    HWND dialog = main_window();
    printf("window %s%s \"%s\"\n", class_of(dialog).c_str(), style_names(dialog).c_str(),
           text_of(dialog).c_str());
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        // A template's -1 reads back as a 16-bit or a 32-bit all-ones id.
        int id = GetDlgCtrlID(child);
        printf("control %d %s%s \"%s\"\n", id == 0xFFFF ? -1 : id, class_of(child).c_str(),
               style_names(child).c_str(), escaped(text_of(child)).c_str());
    }
    HWND list = child_of_class(dialog, "ComboBox");
    LRESULT count = SendMessageA(list, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; i++) {
        // Wide: Wine does not convert this message's text across processes.
        wchar_t wide[256] = L"";
        SendMessageW(list, CB_GETLBTEXT, (WPARAM)i, (LPARAM)wide);
        printf("port %ls\n", wide);
    }
    printf("selected %d\n", (int)SendMessageA(list, CB_GETCURSEL, 0, 0));
    bool all_fit = print_fits(dialog);
    RECT rect; // as an ImageMagick geometry
    GetWindowRect(dialog, &rect);
    printf("geometry %ldx%ld+%ld+%ld\n", rect.right - rect.left, rect.bottom - rect.top, rect.left,
           rect.top);
    if (!all_fit)
        fail("a control's text does not fit it");
    return 0;
}

// Presses the button; a handler in a message box does not return within the time-out.
void press(HWND dialog)
{
    DWORD_PTR result = 0;
    SendMessageTimeoutA(child_of_class(dialog, "Button"), BM_CLICK, 0, 0, SMTO_NORMAL, 5000,
                        &result);
}

// Prints each status seen until a final one of this run or the box; with
// `second_press` the button is pressed again while a block is being written.
int update(const std::string &port, const std::string &outcome, bool second_press)
{
    HWND dialog = main_window(), list = child_of_class(dialog, "ComboBox");
    HWND button = child_of_class(dialog, "Button");
    LRESULT index = -1;
    if (port != "none") {
        std::wstring wide(port.begin(), port.end()); // port names are ASCII
        index = SendMessageW(list, CB_FINDSTRINGEXACT, (WPARAM)-1, (LPARAM)wide.c_str());
        if (index == CB_ERR)
            fail("no such port in the list: ", port);
    }
    SendMessageA(list, CB_SETCURSEL, (WPARAM)index, 0);
    std::string before = status_of(dialog), status, seen;
    press(dialog);
    bool pressed_again = false, greyed_seen = false;
    for (int waited = 0; waited < 120000; waited += 5, Sleep(5)) {
        if (HWND box = FindWindowA("#32770", box_title)) {
            HWND text = GetDlgItem(box, 0xFFFF); // its id on the systems we know
            printf("box \"%s\"\n", text ? escaped(text_of(text)).c_str() : "(no text control)");
            if (GetWindow(box, GW_OWNER) != dialog)
                fail("the box is not owned by the main window");
            PostMessageA(box, WM_COMMAND, IDOK, 0);
            status = box_title;
            break;
        }
        std::string now = status_of(dialog);
        if (now != status)
            seen += " | " + now;
        status = now;
        bool writing = status.rfind("programming 0x", 0) == 0;
        if (writing && !greyed_seen) {
            if (IsWindowEnabled(list) || IsWindowEnabled(button))
                fail("the port list or the button is live while a block is written");
            printf("port list and button greyed during \"%s\"\n", status.c_str());
            greyed_seen = true;
        }
        if (second_press && !pressed_again && writing) {
            press(dialog);
            pressed_again = true;
            if (status_of(dialog) == "Contacting Device...")
                fail("the second press restarted the update");
            printf("second press during \"%s\"\n", status.c_str());
        }
        // A final status left from the last run is not this run's.
        bool final_status = status == "Programming Completed" || status == "FAILED" ||
                            status == "No COM port selected";
        if (final_status && (status != before || seen.find(" | programming") != std::string::npos))
            break;
    }
    printf("status seen%s\n", seen.c_str());
    if (status != outcome)
        fail("the outcome is not ", outcome);
    if (status != box_title && (!IsWindowEnabled(list) || !IsWindowEnabled(button)))
        fail("the port list or the button stays greyed after the update");
    if (second_press && !pressed_again)
        fail("never saw a block being written, so no second press was made");
    return 0;
}

int version(const char *program)
{
    DWORD ignored = 0, size = GetFileVersionInfoSizeA(program, &ignored);
    std::vector<char> info(size + 1);
    if (!size || !GetFileVersionInfoA(program, 0, size, info.data()))
        fail("no version resource in ", program);
    for (const char *name : {"ProductName", "ProductVersion", "FileVersion", "FileDescription",
                             "InternalName", "OriginalFilename", "CompanyName", "LegalCopyright",
                             "Firmware", "Comments"}) {
        char *value = nullptr;
        UINT length = 0;
        std::string path = std::string("\\StringFileInfo\\080904B0\\") + name;
        if (VerQueryValueA(info.data(), path.c_str(), (void **)&value, &length))
            printf("%s: %s\n", name, value);
    }
    printf("icons: %u\n", ExtractIconExA(program, -1, nullptr, nullptr, 0));
    return 0;
}

// Consoles played by hand: whether the mode reads (a console at all), whether
// escapes are on already, whether a request to switch them on is taken.
struct played_console {
    bool console, escapes_on, takes_request;
    unsigned long requested;
};

int read_mode(void *console, unsigned long *mode)
{
    auto *played = (played_console *)console;
    *mode = ENABLE_PROCESSED_OUTPUT | (played->escapes_on ? ENABLE_VIRTUAL_TERMINAL_PROCESSING : 0);
    return played->console;
}

int request_mode(void *console, unsigned long mode)
{
    auto *played = (played_console *)console;
    played->requested = mode;
    return played->takes_request;
}

int check_console_choice()
{
    const unsigned long asked = ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING;
    struct {
        played_console console;
        bool live;
        unsigned long requested;
    } cases[] = {
        {{false, false, true, 0}, false, 0}, // a file or a pipe
        {{true, true, false, 0}, true, 0},
        {{true, false, true, 0}, true, asked},
        {{true, false, false, 0}, false, asked},
    };
    const console_mode_calls calls = {read_mode, request_mode};
    for (auto &c : cases) {
        bool live = console_takes_escapes(&c.console, &calls);
        printf("console %d escapes %d takes %d: %s view, asked for mode %#lx\n", c.console.console,
               c.console.escapes_on, c.console.takes_request, live ? "live" : "plain",
               c.console.requested);
        if (live != c.live || c.console.requested != c.requested)
            fail("kep-update chose the wrong view for that console");
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    SetProcessDPIAware(); // sizes in pixels, as the DPI-aware dialog has them
    std::string command = argc > 1 ? argv[1] : "";
    bool second_press = argc == 5 && std::string(argv[4]) == "--second-press";
    if (command == "contents" && argc == 2)
        return print_contents();
    if (command == "update" && (argc == 4 || second_press))
        return update(argv[2], argv[3], second_press);
    if (command == "close" && argc == 2)
        return !PostMessageA(main_window(), WM_CLOSE, 0, 0);
    if (command == "version" && argc == 3)
        return version(argv[2]);
    if (command == "console" && argc == 2)
        return check_console_choice();
    if (command == "dos-device" && argc == 4)
        return !DefineDosDeviceA(DDD_RAW_TARGET_PATH, argv[2], argv[3]);
    fprintf(stderr, "usage: dialog_driver contents | update PORT OUTCOME [--second-press] |\n"
                    "       close | version PROGRAM.exe | console | dos-device NAME TARGET\n");
    return 2;
}
