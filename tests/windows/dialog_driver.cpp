// Works the running dialog program from outside, as a user would, and prints
// what it sees for scripts/test-windows to check. Exit status 0, or 1 with a
// "FAIL:" line, 2 on bad usage.
//   contents                               the window, its controls and port list
//   update PORT STATUS [--second-press]    select, press, wait for a final status
//   no-selection                           press with no port selected
//   fatal PORT                             press on a port that cannot open: the box
//   close | geometry
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
const int poll_ms = 5;

[[noreturn]] void fail(const char *format, ...) __attribute__((format(printf, 1, 2)));

void fail(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    printf("FAIL: ");
    vprintf(format, args);
    printf("\n");
    va_end(args);
    exit(1);
}

std::string text_of(HWND window)
{
    char text[2048] = "";
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXT, sizeof text, (LPARAM)text, SMTO_NORMAL, 10000,
                             &length))
        fail("window %p does not answer WM_GETTEXT", (void *)window);
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
    for (char *c = name; *c; c++)
        *c = (char)tolower((unsigned char)*c);
    return name;
}

HWND main_window()
{
    for (int waited = 0; waited < 20000; waited += 50) {
        HWND window = FindWindowA("MRV", caption);
        if (window && IsWindowVisible(window))
            return window;
        Sleep(50);
    }
    fail("no visible window of class \"MRV\" with caption \"%s\"", caption);
}

HWND child_of_class(HWND dialog, const char *window_class)
{
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT))
        if (class_of(child) == window_class)
            return child;
    fail("no %s in the window", window_class);
}

std::string status_of(HWND dialog) { return text_of(child_of_class(dialog, "edit")); }

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
        {"combobox", CBS_DROPDOWN, "dropdown"},  {"combobox", CBS_HASSTRINGS, "hasstrings"},
        {"button", BS_DEFPUSHBUTTON, "default"}, {"edit", ES_READONLY, "readonly"},
        {"edit", ES_AUTOHSCROLL, "autohscroll"},
    };
    DWORD style = (DWORD)GetWindowLongA(window, GWL_STYLE);
    std::string names;
    for (const flag &f : flags)
        if ((style & f.bits) == f.bits && (!f.window_class || class_of(window) == f.window_class))
            names += std::string(" ") + f.name;
    return names;
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
    HWND list = child_of_class(dialog, "combobox");
    LRESULT count = SendMessageA(list, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; i++) {
        // Wide: Wine does not convert this message's text across processes.
        wchar_t wide[256] = L"";
        SendMessageW(list, CB_GETLBTEXT, (WPARAM)i, (LPARAM)wide);
        char line[256] = "";
        WideCharToMultiByte(CP_ACP, 0, wide, -1, line, sizeof line, nullptr, nullptr);
        printf("port %s\n", line);
    }
    printf("selected %d\n", (int)SendMessageA(list, CB_GETCURSEL, 0, 0));
    return 0;
}

// Presses the button and waits for its handler to return; one that does not
// return in time is stuck (in a message box, most likely).
bool press(HWND dialog)
{
    DWORD_PTR result = 0;
    return SendMessageTimeoutA(child_of_class(dialog, "button"), BM_CLICK, 0, 0, SMTO_NORMAL, 5000,
                               &result) != 0;
}

void select_port(HWND dialog, const char *port)
{
    HWND list = child_of_class(dialog, "combobox");
    wchar_t wide[256] = L"";
    MultiByteToWideChar(CP_ACP, 0, port, -1, wide, 256);
    LRESULT index = SendMessageW(list, CB_FINDSTRINGEXACT, (WPARAM)-1, (LPARAM)wide);
    if (index == CB_ERR || SendMessageA(list, CB_SETCURSEL, (WPARAM)index, 0) != index)
        fail("could not select \"%s\"", port);
}

HWND message_box(int wait_ms)
{
    for (int waited = 0; waited <= wait_ms; waited += 50) {
        if (HWND box = FindWindowA("#32770", "Terminate Program"))
            return box;
        if (wait_ms)
            Sleep(50);
    }
    return nullptr;
}

int no_selection()
{
    HWND dialog = main_window();
    HWND list = child_of_class(dialog, "combobox");
    SendMessageA(list, CB_SETCURSEL, (WPARAM)-1, 0);
    if (!press(dialog))
        fail("the button did not return with no port selected");
    printf("status \"%s\"\n", status_of(dialog).c_str());
    if (message_box(200))
        fail("a \"Terminate Program\" box appeared with no port selected");
    SendMessageA(list, CB_SETCURSEL, 0, 0);
    return 0;
}

// Prints each status seen until a final one; with `second_press` the button
// is pressed again while a block is being written.
int update(const char *port, const char *expected, bool second_press)
{
    HWND dialog = main_window();
    select_port(dialog, port);
    std::string before = status_of(dialog);
    if (!press(dialog))
        fail("the button handler did not return (a message box?)");
    std::string status, seen;
    bool pressed_again = false;
    for (int waited = 0; waited < 120000; waited += poll_ms) {
        if (message_box(0))
            fail("a \"Terminate Program\" box appeared during the update");
        std::string now = status_of(dialog);
        if (now != status)
            seen += " | " + now;
        status = now;
        if (second_press && !pressed_again && status.rfind("programming 0x", 0) == 0) {
            if (!press(dialog))
                fail("the second press did not return");
            pressed_again = true;
            if (status_of(dialog) == "Contacting Device...")
                fail("the second press restarted the update");
            printf("second press during \"%s\"\n", status.c_str());
        }
        // A final status left from the last run is not this run's.
        bool final_status = status == "Programming Completed" || status == "FAILED";
        if (final_status && (status != before || seen.find(" | programming") != std::string::npos))
            break;
        Sleep(poll_ms);
    }
    printf("status seen%s\n", seen.c_str());
    if (status != expected)
        fail("status is \"%s\", expected \"%s\"", status.c_str(), expected);
    if (second_press && !pressed_again)
        fail("never saw a block being written, so no second press was made");
    return 0;
}

// The box's text is a static control, id 0xFFFF on the systems we know.
int fatal(const char *port)
{
    HWND dialog = main_window();
    select_port(dialog, port);
    press(dialog); // stays in the box until it is dismissed
    HWND box = message_box(10000);
    if (!box)
        fail("no \"Terminate Program\" box appeared");
    HWND text = GetDlgItem(box, 0xFFFF);
    printf("box \"%s\"\n", text ? escaped(text_of(text)).c_str() : "(no text control)");
    if (GetWindow(box, GW_OWNER) != dialog)
        fail("the box is not owned by the main window");
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    return 0;
}

int close_window()
{
    HWND dialog = main_window();
    PostMessageA(dialog, WM_CLOSE, 0, 0);
    for (int waited = 0; waited < 10000; waited += 50) {
        if (!IsWindow(dialog))
            return 0;
        Sleep(50);
    }
    fail("the window did not close within 10 s");
}

// The window's screen rectangle as an ImageMagick geometry.
int geometry()
{
    RECT rect;
    GetWindowRect(main_window(), &rect);
    printf("%ldx%ld+%ld+%ld\n", (long)(rect.right - rect.left), (long)(rect.bottom - rect.top),
           (long)rect.left, (long)rect.top);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    std::string command = argc > 1 ? argv[1] : "";
    bool second_press = argc == 5 && strcmp(argv[4], "--second-press") == 0;
    if (command == "contents" && argc == 2)
        return print_contents();
    if (command == "update" && (argc == 4 || second_press))
        return update(argv[2], argv[3], second_press);
    if (command == "no-selection" && argc == 2)
        return no_selection();
    if (command == "fatal" && argc == 3)
        return fatal(argv[2]);
    if (command == "close" && argc == 2)
        return close_window();
    if (command == "geometry" && argc == 2)
        return geometry();
    fprintf(stderr, "usage: dialog_driver contents | update PORT STATUS [--second-press] |\n"
                    "       no-selection | fatal PORT | close | geometry\n");
    return 2;
}
