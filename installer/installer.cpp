// The dialog program: one window with the port list and the update button;
// a window timer drives the update one step per tick.
#include "dialog_controls.h"
#include "firmware_image.h"
#include "main_window_win32.h"
#include "open_serial_port.h"
#include "os_services.h"
#include "port_discovery.h"
#include "port_discovery_win32.h"
#include "reporting.h"
#include "serial/serial_port.h"
#include "update_session.h"

#include <cstdlib>
// clang-format off
#include <windows.h>
#include <commctrl.h>
// clang-format on

#define STEP_TIMER_ID 6
// While a step blocks no tick must queue up behind it.
#define STEP_RUNNING_INTERVAL_MS 10000
#define WINDOWS_VERSION_BUILT_FOR 0x0A00
#define DONE_BEEP_HZ 2000
#define DONE_BEEP_MS 100

static update_link link;
static update_session session;

LRESULT CALLBACK main_window_proc(HWND window, UINT message_id, WPARAM wparam, LPARAM lparam);

static void register_window_class(HINSTANCE instance)
{
    WNDCLASSA wndclass;
    wndclass.style = CS_HREDRAW | CS_VREDRAW;
    wndclass.lpfnWndProc = main_window_proc;
    wndclass.cbClsExtra = 0;
    wndclass.cbWndExtra = DLGWINDOWEXTRA;
    wndclass.hInstance = instance;
    wndclass.hIcon = nullptr;
    wndclass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wndclass.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    wndclass.lpszMenuName = nullptr;
    wndclass.lpszClassName = "MRV";
    program_instance = instance;
    if (!RegisterClassA(&wndclass))
        fatal_error("Unabled to register window class");
}

static void prepare_link()
{
    link.capacity = MODBUS_FRAME_LENGTH_MAX;
    link.frame = (uint8_t *)malloc((size_t)link.capacity);
    link.unit_address = UNIT_ADDRESS;
    link.handle = INVALID_PORT_HANDLE;
}

static void close_link_port()
{
    port_close(link.handle);
    link.handle = INVALID_PORT_HANDLE;
}

// The port is held exactly while an update runs: from the press until the
// link is done or has failed.
static bool update_running() { return link.handle != INVALID_PORT_HANDLE; }

// The port list and the button are greyed while an update runs: the list
// cannot name another port than the one being updated, and the button shows
// that a press would do nothing.
static void set_controls_live(HWND window, bool live)
{
    HWND list = GetDlgItem(window, IDC_PORT_LIST), button = GetDlgItem(window, IDC_UPDATE);
    HWND focus = GetFocus();
    EnableWindow(list, live);
    EnableWindow(button, live);
    // A greyed control takes no keys: the button has them back afterwards.
    if (live && (focus == nullptr || focus == GetDlgItem(window, IDC_STATUS)))
        SetFocus(button);
}

static void on_update_button(HWND window)
{
    // A second press would open the port this process already holds, and
    // that failure ends the program: ignore it until the update ends.
    if (update_running())
        return;
    LRESULT selected = SendDlgItemMessageA(window, IDC_PORT_LIST, CB_GETCURSEL, 0, 0);
    // Nothing listed, or text typed that matches no line: no table row to use.
    if (selected == CB_ERR || selected >= ports_found()) {
        status_printf("No COM port selected");
        return;
    }
    link.port_name = port_table[selected].name;
    link.baud = LINE_SPEED;
    set_controls_live(window, false);
    open_serial_port(&link);
    session_begin(&session, &link, link.image, link.image_size);
    status_printf("Contacting Device...");
    SetTimer(window, STEP_TIMER_ID, STEP_INTERVAL_MS, nullptr);
}

static void finish_update(HWND window)
{
    KillTimer(window, STEP_TIMER_ID);
    Beep(DONE_BEEP_HZ, DONE_BEEP_MS);
    status_printf("Programming Completed");
    close_link_port();
    set_controls_live(window, true);
}

// A failed verify sends nothing more; releasing the port lets a new press
// retry the update instead of ending the program.
static void abandon_update(HWND window)
{
    KillTimer(window, STEP_TIMER_ID);
    close_link_port();
    set_controls_live(window, true);
}

// The image is proven in the target once the CRCs matched, so a reset that
// gets no answer, or a line that goes with the restarting target, still ends
// as a completed update.
static void finish_unconfirmed_reset(HWND window)
{
    trace_printf("Reset not confirmed by the target; the image is written and verified\n");
    finish_update(window);
}

// A device that has gone (an adapter pulled out) would only fail every write
// from now on: end as a failed verify does, so a new press can retry.
static void fail_on_lost_port(HWND window, long code)
{
    char text[200];
    error_phrase(code, text, sizeof text);
    // A block's trace line stays open until its answer comes.
    trace_printf("%s . Serial port %s stopped working (%s)\n",
                 link.state == STATE_PROGRAM ? "\n" : "", link.port_name, text);
    status_printf("FAILED");
    abandon_update(window);
}

static void on_step_timer(HWND window)
{
    if (!update_running()) // a tick queued before the update ended
        return;
    SetTimer(window, STEP_TIMER_ID, STEP_RUNNING_INTERVAL_MS, nullptr);
    session_step(&session);
    SetTimer(window, STEP_TIMER_ID, STEP_INTERVAL_MS, nullptr);
    switch (session.end) {
    case SESSION_UPDATED: finish_update(window); break;
    case SESSION_VERIFY_FAILED:
    case SESSION_VERIFY_REFUSED: abandon_update(window); break;
    case SESSION_RESET_UNCONFIRMED: finish_unconfirmed_reset(window); break;
    case SESSION_PORT_LOST: fail_on_lost_port(window, session.system_code); break;
    default: break; // the dialog sets no time-out and no write check
    }
}

LRESULT CALLBACK main_window_proc(HWND window, UINT message_id, WPARAM wparam, LPARAM lparam)
{
    switch (message_id) {
    case WM_DESTROY: PostQuitMessage(0); return 0;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDC_UPDATE) {
            on_update_button(window);
            return 0;
        }
        break;
    case WM_TIMER:
        if (wparam == STEP_TIMER_ID) {
            on_step_timer(window);
            return 0;
        }
        break;
    default: break;
    }
    return DefWindowProcA(window, message_id, wparam, lparam);
}

static int run_message_loop()
{
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        // Dialog keyboard handling (Tab between controls) for the main window.
        if (!main_window || !IsDialogMessageA(main_window, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return (int)message.wParam;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show_command)
{
    // The manifest asks for Common Controls 6; loading them now makes the
    // dialog's controls theirs.
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    register_window_class(instance);
    main_window = CreateDialogA(instance, "MRV", nullptr, nullptr);
    if (!main_window)
        fatal_error("Could not create dialog");
    ShowWindow(main_window, show_command);
    HWND list_control = GetDlgItem(main_window, IDC_PORT_LIST);
    trace_printf("Running on windows version: %x\n", WINDOWS_VERSION_BUILT_FOR);
    discover_ports(list_control);
    status_printf(" - Idle - ");
    prepare_link();
    load_firmware_image(&link);
    return run_message_loop();
}
