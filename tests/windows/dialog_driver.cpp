// Drives the running dialog program from outside, as a user would: finds its
// window, checks what it shows, picks a port, presses the button and watches
// the status field. One subcommand per case; exit status 0 on pass, 1 with a
// message on failure, 2 on bad usage.
#include "dialog_controls.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <windows.h>

namespace
{

const char *const caption = "KEP Update Tool";
const char *const prompt = "Choose the COM port corresponding to the KEP.\n\nPress the \"\"Update "
                           "Firmware\"\" button when ready.";
const int find_window_ms = 20000;
const int press_reply_ms = 5000;
const int poll_ms = 5;

[[noreturn]] void fail(const char *format, ...) __attribute__((format(printf, 1, 2)));

void fail(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    fprintf(stdout, "FAIL: ");
    vfprintf(stdout, format, args);
    fprintf(stdout, "\n");
    va_end(args);
    fflush(stdout);
    exit(1);
}

std::string window_text(HWND window)
{
    char text[2048] = "";
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, (LPARAM)text, SMTO_NORMAL, 10000,
                             &length))
        fail("window %p does not answer WM_GETTEXT", (void *)window);
    return text;
}

std::string class_of(HWND window)
{
    char name[256] = "";
    GetClassNameA(window, name, sizeof name);
    return name;
}

HWND find_main_window()
{
    for (int waited = 0; waited < find_window_ms; waited += 50) {
        if (HWND window = FindWindowA("MRV", caption))
            return window;
        Sleep(50);
    }
    fail("no window of class \"MRV\" with caption \"%s\" after %d ms", caption, find_window_ms);
}

HWND control(HWND dialog, int id, const char *expected_class)
{
    HWND item = GetDlgItem(dialog, id);
    if (!item)
        fail("control %d is missing", id);
    if (_stricmp(class_of(item).c_str(), expected_class) != 0)
        fail("control %d is a \"%s\", expected \"%s\"", id, class_of(item).c_str(), expected_class);
    return item;
}

void expect_styles(HWND item, const char *name, LONG styles)
{
    LONG actual = GetWindowLongA(item, GWL_STYLE);
    if ((actual & styles) != styles)
        fail("%s styles %#lx lack %#lx", name, (unsigned long)actual,
             (unsigned long)(styles & ~actual));
}

std::string status_of(HWND dialog) { return window_text(control(dialog, IDC_STATUS, "Edit")); }

std::vector<std::string> list_lines(HWND list)
{
    std::vector<std::string> lines;
    LRESULT count = SendMessageA(list, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; i++) {
        // Wide: Wine does not convert this message's text across processes.
        wchar_t wide[256] = L"";
        SendMessageW(list, CB_GETLBTEXT, (WPARAM)i, (LPARAM)wide);
        char line[256] = "";
        WideCharToMultiByte(CP_ACP, 0, wide, -1, line, sizeof line, nullptr, nullptr);
        lines.push_back(line);
    }
    return lines;
}

// Presses the update button and waits for its handler to return; a handler
// that does not return in time is stuck (a message box, most likely).
bool press_update(HWND dialog)
{
    HWND button = control(dialog, IDC_UPDATE, "Button");
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(button, BM_CLICK, 0, 0, SMTO_NORMAL, press_reply_ms, &result) != 0;
}

void select_port(HWND dialog, const char *port)
{
    HWND list = control(dialog, IDC_PORT_LIST, "ComboBox");
    wchar_t wide[256] = L"";
    MultiByteToWideChar(CP_ACP, 0, port, -1, wide, 256);
    LRESULT index = SendMessageW(list, CB_FINDSTRINGEXACT, (WPARAM)-1, (LPARAM)wide);
    if (index == CB_ERR)
        fail("port \"%s\" is not in the list", port);
    if (SendMessageA(list, CB_SETCURSEL, (WPARAM)index, 0) != index)
        fail("could not select \"%s\"", port);
}

HWND find_message_box(int wait_ms)
{
    for (int waited = 0; waited < wait_ms; waited += 50) {
        if (HWND box = FindWindowA("#32770", "Terminate Program"))
            return box;
        Sleep(50);
    }
    return nullptr;
}

struct longest_static {
    std::string text;
    HWND window;
};

BOOL CALLBACK collect_static(HWND child, LPARAM context)
{
    auto *found = (longest_static *)context;
    if (_stricmp(class_of(child).c_str(), "Static") == 0) {
        std::string text = window_text(child);
        if (text.size() > found->text.size()) {
            found->text = text;
            found->window = child;
        }
    }
    return TRUE;
}

// The box's text is a static control, id 0xFFFF on the systems we know;
// otherwise the longest static text in the box.
std::string message_box_text(HWND box)
{
    if (HWND text = GetDlgItem(box, 0xFFFF))
        return window_text(text);
    longest_static found{};
    EnumChildWindows(box, collect_static, (LPARAM)&found);
    return found.text;
}

std::string printable(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else
            out += c;
    }
    return out;
}

// Checks the window, its four controls and the port list; `ports` must be
// listed in this order (other ports of the machine may come between them).
int check_layout(const std::vector<const char *> &ports)
{
    HWND dialog = find_main_window();
    if (window_text(dialog) != caption)
        fail("caption is \"%s\"", window_text(dialog).c_str());
    if (class_of(dialog) != "MRV" && _stricmp(class_of(dialog).c_str(), "mrv") != 0)
        fail("window class is \"%s\"", class_of(dialog).c_str());
    expect_styles(dialog, "window", WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU);

    HWND list = control(dialog, IDC_PORT_LIST, "ComboBox");
    // The combo box hands WS_VSCROLL on to its drop-down list; the template
    // check sees it.
    expect_styles(list, "port list",
                  WS_CHILD | WS_VISIBLE | WS_TABSTOP | CBS_DROPDOWN | CBS_HASSTRINGS);
    HWND button = control(dialog, IDC_UPDATE, "Button");
    expect_styles(button, "button", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON);
    if (window_text(button) != "Update KEP")
        fail("button text is \"%s\"", window_text(button).c_str());
    HWND status = control(dialog, IDC_STATUS, "Edit");
    expect_styles(status, "status field", WS_CHILD | WS_VISIBLE | ES_AUTOHSCROLL | ES_READONLY);
    if (GetWindowLongA(status, GWL_STYLE) & WS_BORDER)
        fail("status field has a border");
    if (status_of(dialog) != " - Idle - ")
        fail("status is \"%s\", expected \" - Idle - \"", status_of(dialog).c_str());
    longest_static found{};
    EnumChildWindows(dialog, collect_static, (LPARAM)&found);
    if (found.window == nullptr)
        fail("no static prompt");
    // The template's -1 reads back as a 16-bit or a 32-bit all-ones id.
    LONG_PTR id = GetWindowLongPtrA(found.window, GWLP_ID);
    if (id != 0xFFFF && id != 0xFFFFFFFF && id != -1)
        fail("prompt id is %#llx, expected -1", (long long)id);
    if (found.text != prompt)
        fail("prompt is \"%s\"", printable(found.text).c_str());

    std::vector<std::string> lines = list_lines(list);
    std::string listed;
    for (const std::string &line : lines)
        listed += " " + line;
    printf("listed:%s\n", listed.c_str());
    size_t next = 0;
    for (const char *port : ports) {
        while (next < lines.size() && lines[next] != port)
            next++;
        if (next == lines.size())
            fail("\"%s\" is not listed after the ports before it (list:%s)", port, listed.c_str());
    }
    if (!lines.empty() && SendMessageA(list, CB_GETCURSEL, 0, 0) != 0)
        fail("the first line is not selected");
    printf("layout OK: caption, controls, prompt, status and %zu ports\n", lines.size());
    return 0;
}

// With no line selected the button only says so: no port, no timer, no box.
int check_no_selection()
{
    HWND dialog = find_main_window();
    HWND list = control(dialog, IDC_PORT_LIST, "ComboBox");
    SendMessageA(list, CB_SETCURSEL, (WPARAM)-1, 0);
    if (!press_update(dialog))
        fail("the button did not return with no port selected");
    if (status_of(dialog) != "No COM port selected")
        fail("status is \"%s\" with no port selected", status_of(dialog).c_str());
    if (find_message_box(200))
        fail("a \"Terminate Program\" box appeared with no port selected");
    SendMessageA(list, CB_SETCURSEL, 0, 0);
    printf("no selection OK: \"No COM port selected\"\n");
    return 0;
}

bool is_final(const std::string &status)
{
    return status == "Programming Completed" || status == "FAILED";
}

// Selects `port`, presses the button and waits for `expected`; with
// `second_press` the button is pressed again while blocks are being written.
int run_update(const char *port, const char *expected, bool second_press, int limit_ms)
{
    HWND dialog = find_main_window();
    select_port(dialog, port);
    if (!press_update(dialog))
        fail("the button handler did not return (a message box?)");
    std::vector<std::string> seen;
    bool pressed_again = false;
    std::string status;
    for (int waited = 0; waited < limit_ms; waited += poll_ms) {
        if (find_message_box(0))
            fail("a \"Terminate Program\" box appeared during the update");
        status = status_of(dialog);
        if (seen.empty() || seen.back() != status)
            seen.push_back(status);
        if (second_press && !pressed_again && status.rfind("programming 0x", 0) == 0) {
            if (!press_update(dialog))
                fail("the second press did not return (a message box?)");
            pressed_again = true;
            std::string after = status_of(dialog);
            if (after == "Contacting Device...")
                fail("the second press restarted the update");
            printf("second press during \"%s\" ignored\n", status.c_str());
        }
        if (is_final(status))
            break;
        Sleep(poll_ms);
    }
    std::string sequence;
    for (const std::string &text : seen)
        sequence += " | " + text;
    printf("status seen:%s\n", sequence.c_str());
    if (status != expected)
        fail("status is \"%s\", expected \"%s\"", status.c_str(), expected);
    if (second_press && !pressed_again)
        fail("never saw a block being written, so no second press was made");
    bool saw_block = false;
    for (const std::string &text : seen)
        saw_block = saw_block || text.rfind("programming 0x", 0) == 0;
    if (!saw_block && strcmp(expected, "Programming Completed") == 0)
        fail("no \"programming 0x...\" status seen before completion");
    printf("update OK: \"%s\"\n", expected);
    return 0;
}

// Presses the button on a port that cannot be opened: the program must show
// the "Terminate Program" box, owned by its window, with the report text.
int check_fatal(const char *port)
{
    HWND dialog = find_main_window();
    select_port(dialog, port);
    press_update(dialog); // stays in the box until it is dismissed
    HWND box = find_message_box(10000);
    if (!box)
        fail("no \"Terminate Program\" box appeared");
    std::string text = message_box_text(box);
    printf("box text: \"%s\"\n", printable(text).c_str());
    const char *const parts[] = {
        "\n\nAn Error has occurred as follows:\n",
        "\n          Unable to open serial port. In use already, or not present\n",
        "Error number ",
        "\n\n The program will now abort\n",
    };
    for (const char *part : parts)
        if (text.find(part) == std::string::npos)
            fail("box text lacks \"%s\"", printable(part).c_str());
    if (GetWindow(box, GW_OWNER) != dialog)
        fail("the box is not owned by the main window");
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    printf("fatal OK: report shown and dismissed\n");
    return 0;
}

// Reads the dialog template "MRV" out of the program file, field by field.
struct template_reader {
    const uint8_t *at;
    const uint8_t *end;

    uint16_t word()
    {
        if (at + 2 > end)
            fail("dialog template ends early");
        uint16_t value = (uint16_t)(at[0] | at[1] << 8);
        at += 2;
        return value;
    }
    uint32_t dword()
    {
        uint32_t low = word();
        return low | (uint32_t)word() << 16;
    }
    // A text, or an ordinal written as "#N".
    std::string text_or_ordinal()
    {
        uint16_t first = word();
        if (first == 0xFFFF) {
            char ordinal[8];
            snprintf(ordinal, sizeof ordinal, "#%u", (unsigned)word());
            return ordinal;
        }
        std::string text;
        for (uint16_t c = first; c != 0; c = word())
            text += c < 0x80 ? (char)c : '?';
        return text;
    }
    void align_dword(const uint8_t *base)
    {
        while ((at - base) % 4)
            at++;
    }
};

struct template_item {
    uint32_t style;
    int x, y, cx, cy;
    int32_t id;
    const char *window_class;
    std::string text;
};

void expect_equal(const char *what, const std::string &actual, const std::string &expected)
{
    if (actual != expected)
        fail("template %s is \"%s\", expected \"%s\"", what, printable(actual).c_str(),
             printable(expected).c_str());
}

void expect_number(const char *what, long actual, long expected)
{
    if (actual != expected)
        fail("template %s is %#lx, expected %#lx", what, actual, expected);
}

int check_template(const char *program)
{
    HMODULE module = LoadLibraryExA(program, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module)
        fail("cannot load %s as a data file (error %lu)", program, GetLastError());
    HRSRC found =
        FindResourceExA(module, RT_DIALOG, "MRV", MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK));
    if (!found)
        fail("no dialog template \"MRV\" in English (United Kingdom)");
    if (!FindResourceExA(module, RT_RCDATA, "BINFILE",
                         MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK)))
        fail("no \"BINFILE\" resource in English (United Kingdom)");
    const uint8_t *base = (const uint8_t *)LockResource(LoadResource(module, found));
    template_reader in{base, base + SizeofResource(module, found)};
    expect_number("version", in.word(), 1);
    expect_number("signature", in.word(), 0xFFFF);
    in.dword(); // help id
    expect_number("extended style", (long)in.dword(), WS_EX_APPWINDOW);
    expect_number("style", (long)in.dword(),
                  WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT);
    uint16_t items = in.word();
    expect_number("control count", items, 4);
    const int frame[] = {32, 32, 347, 185};
    for (int expected : frame)
        expect_number("position or size", (short)in.word(), expected);
    expect_equal("menu", in.text_or_ordinal(), "");
    std::string window_class = in.text_or_ordinal();
    if (_stricmp(window_class.c_str(), "mrv") != 0)
        fail("template class is \"%s\"", window_class.c_str());
    expect_equal("caption", in.text_or_ordinal(), caption);
    expect_number("font size", in.word(), 8);
    expect_number("font weight", in.word(), 0);
    uint16_t italic_charset = in.word();
    expect_number("font italic and charset", italic_charset, 0);
    expect_equal("font", in.text_or_ordinal(), "MS Sans Serif");

    const template_item expected[] = {
        {WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWN | CBS_HASSTRINGS, 109, 133,
         56, 216, IDC_PORT_LIST, "#133", ""},
        {WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 173, 133, 100, 14, IDC_UPDATE,
         "#128", "Update KEP"},
        {WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL | ES_READONLY, 109, 156, 100, 14,
         IDC_STATUS, "#129", ""},
        {WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT, 13, 7, 314, 57, -1, "#130", prompt},
    };
    const char *const class_names[] = {"ComboBox", "Button", "Edit", "Static"};
    for (int i = 0; i < 4; i++) {
        in.align_dword(base);
        in.dword(); // help id
        expect_number("control extended style", (long)in.dword(), 0);
        const template_item &want = expected[i];
        expect_number("control style", (long)in.dword(), (long)want.style);
        const int box[] = {want.x, want.y, want.cx, want.cy};
        for (int value : box)
            expect_number("control position or size", (short)in.word(), value);
        expect_number("control id", (int32_t)in.dword(), want.id);
        std::string control_class = in.text_or_ordinal();
        if (control_class != want.window_class &&
            _stricmp(control_class.c_str(), class_names[i]) != 0)
            fail("template control %d has class \"%s\"", want.id, control_class.c_str());
        expect_equal("control text", in.text_or_ordinal(), want.text);
        uint16_t extra = in.word();
        in.at += extra;
    }
    FreeLibrary(module);
    printf("template OK: frame, styles, class, caption, font and 4 controls\n");
    return 0;
}

int close_window()
{
    HWND dialog = find_main_window();
    PostMessageA(dialog, WM_CLOSE, 0, 0);
    for (int waited = 0; waited < 10000; waited += 50) {
        if (!IsWindow(dialog)) {
            printf("closed\n");
            return 0;
        }
        Sleep(50);
    }
    fail("the window did not close within 10 s");
}

// Prints the window's screen rectangle as an ImageMagick geometry.
int print_geometry()
{
    HWND dialog = find_main_window();
    RECT rect;
    GetWindowRect(dialog, &rect);
    printf("%ldx%ld+%ld+%ld\n", (long)(rect.right - rect.left), (long)(rect.bottom - rect.top),
           (long)rect.left, (long)rect.top);
    return 0;
}

int usage()
{
    fprintf(stderr, "usage: dialog_driver layout PORT...\n"
                    "       dialog_driver no-selection\n"
                    "       dialog_driver update PORT EXPECTED_STATUS [--second-press]\n"
                    "       dialog_driver fatal PORT\n"
                    "       dialog_driver template PROGRAM.exe\n"
                    "       dialog_driver close | geometry\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc < 2)
        return usage();
    std::string command = argv[1];
    if (command == "layout")
        return check_layout(std::vector<const char *>(argv + 2, argv + argc));
    if (command == "no-selection" && argc == 2)
        return check_no_selection();
    if (command == "update" && (argc == 4 || argc == 5)) {
        bool second_press = argc == 5 && strcmp(argv[4], "--second-press") == 0;
        if (argc == 5 && !second_press)
            return usage();
        return run_update(argv[2], argv[3], second_press, 120000);
    }
    if (command == "fatal" && argc == 3)
        return check_fatal(argv[2]);
    if (command == "template" && argc == 3)
        return check_template(argv[2]);
    if (command == "close" && argc == 2)
        return close_window();
    if (command == "geometry" && argc == 2)
        return print_geometry();
    return usage();
}
