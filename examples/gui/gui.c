/* hello-gui: a window program that keeps itself up to date.
 *
 *   Check for updates   asks the update server (fwstack_check, on a worker
 *                       thread) and shows the version it announces
 *   Download            downloads and verifies that release beside the
 *                       program (fwstack_download, on a worker thread), with
 *                       a progress bar; Cancel stops it
 *   Restart to update   puts the release in the program's place
 *                       (fwstack_apply) and starts the new version
 *
 * Closing the window with a release downloaded installs it too, for the next
 * start. "hello-gui --auto <file>" presses the buttons by itself, one after
 * the other, closes when there is nothing more to press, and writes each
 * status line it shows into <file>: for tests and demonstrations.
 *
 * Its identity (name, version, publisher, product, update address) comes
 * from fwstack_program.h, which the build writes from CMakeLists.txt;
 * HELLO_OPTIONS comes from the build too. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>
#include <stdio.h>
#include <string.h>

#include <fwstack_update.h>
#include "fwstack_program.h"

#ifndef HELLO_OPTIONS
#define HELLO_OPTIONS 0u
#endif

enum { ID_CHECK = 101, ID_DOWNLOAD, ID_CANCEL, ID_RESTART };
/* Posted by the worker thread to the window. */
enum {
    MSG_PROGRESS = WM_APP + 1, /* wParam: bytes received, lParam: bytes in all (0: unknown) */
    MSG_DONE                   /* wParam: ID_CHECK or ID_DOWNLOAD; the outcome is in app.result */
};

static struct {
    fwstack_settings settings;
    fwstack_result result; /* written by the worker until it posts MSG_DONE */
    HWND window, status, bar, buttons[4];
    volatile LONG cancel;  /* set by Cancel, returned by the progress callback */
    BOOL busy, staged, closing;
    char announced[FWSTACK_VERSION_CAPACITY + 1]; /* the version the check found */
    wchar_t path[1100];    /* this program's file, where the new version will be */
    const wchar_t* log;    /* --auto: where the status lines go, else null */
} app;

static HWND button(int id) { return app.buttons[id - ID_CHECK]; }

/* Shows one status line (a report line's "\n" left out) and, with --auto,
 * appends it to the log. */
static void show(const char* text) {
    char line[FWSTACK_REPORT_CAPACITY + 1];
    size_t length = strcspn(text, "\n");
    if (length > FWSTACK_REPORT_CAPACITY) length = FWSTACK_REPORT_CAPACITY;
    memcpy(line, text, length);
    line[length] = 0;
    SetWindowTextA(app.status, line);
    UpdateWindow(app.status);
    if (app.log) {
        HANDLE file = CreateFileW(app.log, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written;
            line[length] = '\n';
            WriteFile(file, line, (DWORD)length + 1, &written, NULL);
            CloseHandle(file);
        }
    }
}

/* Called by the engine on the worker thread during each transfer. */
static int on_progress(void* context, uint32_t transfer, uint64_t received, uint64_t total) {
    if (transfer == FWSTACK_TRANSFER_RELEASE)
        PostMessageW((HWND)context, MSG_PROGRESS, (WPARAM)received, (LPARAM)total);
    return app.cancel != 0; /* nonzero stops the download */
}

static DWORD WINAPI worker(void* step) {
    if ((UINT_PTR)step == ID_CHECK)
        fwstack_check(&app.settings, NULL, &app.result);
    else
        fwstack_download(&app.settings, NULL, &app.result);
    PostMessageW(app.window, MSG_DONE, (WPARAM)step, 0);
    return 0;
}

static void enable(BOOL check, BOOL download, BOOL cancel, BOOL restart) {
    EnableWindow(button(ID_CHECK), check);
    EnableWindow(button(ID_DOWNLOAD), download);
    EnableWindow(button(ID_CANCEL), cancel);
    EnableWindow(button(ID_RESTART), restart);
}

static void start_worker(UINT_PTR step) {
    HANDLE thread = CreateThread(NULL, 0, worker, (void*)step, 0, NULL);
    if (!thread) {
        show("hello-gui: no thread for the update");
        return;
    }
    CloseHandle(thread);
    app.busy = TRUE;
    app.cancel = 0;
    enable(FALSE, FALSE, step == ID_DOWNLOAD, FALSE);
    show(step == ID_CHECK ? "Asking the update server..." : "Downloading...");
}

/* Installs the downloaded release; TRUE when the program file now holds it. */
static BOOL apply(void) {
    fwstack_apply(&app.settings, NULL, &app.result);
    show(app.result.report);
    app.staged = FALSE;
    return app.result.state == FWSTACK_UPDATED;
}

/* Starts the program file (now the new version) with this process's command line. */
static BOOL restart(void) {
    static wchar_t command_line[32768];
    STARTUPINFOW startup = {0};
    PROCESS_INFORMATION process;
    startup.cb = sizeof startup;
    lstrcpynW(command_line, GetCommandLineW(), 32768);
    if (!CreateProcessW(app.path, command_line, NULL, NULL, FALSE, 0, NULL, NULL, &startup,
                        &process))
        return FALSE;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return TRUE;
}

/* A bar that moves to and fro, for a download of unknown length; or not. */
static void marquee(BOOL on) {
    LONG_PTR style = GetWindowLongPtrW(app.bar, GWL_STYLE);
    if (!(style & PBS_MARQUEE) == !on) return;
    SetWindowLongPtrW(app.bar, GWL_STYLE, on ? style | PBS_MARQUEE : style & ~PBS_MARQUEE);
    SendMessageW(app.bar, PBM_SETMARQUEE, on, 30);
}

static void on_progress_message(uint64_t received, uint64_t total) {
    char text[96];
    marquee(total == 0);
    if (total) {
        SendMessageW(app.bar, PBM_SETPOS, (WPARAM)(received * 1000 / total), 0);
        snprintf(text, sizeof text, "Downloading %s: %llu of %llu KB", app.announced,
                 (unsigned long long)(received / 1024), (unsigned long long)((total + 1023) / 1024));
    } else {
        snprintf(text, sizeof text, "Downloading %s: %llu KB", app.announced,
                 (unsigned long long)(received / 1024));
    }
    UpdateWindow(app.bar);
    show(text);
}

static void on_done(UINT_PTR step) {
    const fwstack_result* r = &app.result;
    app.busy = FALSE;
    app.staged = step == ID_DOWNLOAD && r->state == FWSTACK_STAGED;
    show(r->report);
    if (r->state == FWSTACK_AVAILABLE) memcpy(app.announced, r->available_version, sizeof app.announced);
    marquee(FALSE);
    SendMessageW(app.bar, PBM_SETPOS, r->state == FWSTACK_STAGED ? 1000 : 0, 0);
    enable(TRUE, r->state == FWSTACK_AVAILABLE, FALSE, app.staged);
    if (app.closing) {
        DestroyWindow(app.window);
    } else if (app.log) { /* --auto: the next button, or the end */
        UINT next = r->state == FWSTACK_AVAILABLE ? ID_DOWNLOAD
                    : app.staged                  ? ID_RESTART
                                                  : 0;
        PostMessageW(app.window, next ? WM_COMMAND : WM_CLOSE, next, 0);
    }
}

static void create_controls(HWND window) {
    static const wchar_t* const labels[4] = {L"Check for updates", L"Download", L"Cancel",
                                             L"Restart to update"};
    static const int widths[4] = {120, 80, 70, 116};
    HFONT font = (HFONT)GetStockObject(DEFAULT_GUI_FONT);
    HINSTANCE instance = GetModuleHandleW(NULL);
    int i, x = 12;
    app.status = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_LEFTNOWORDWRAP,
                                 12, 12, 404, 20, window, NULL, instance, NULL);
    app.bar = CreateWindowExW(0, PROGRESS_CLASSW, NULL, WS_CHILD | WS_VISIBLE, 12, 38, 404, 18,
                              window, NULL, instance, NULL);
    SendMessageW(app.bar, PBM_SETRANGE32, 0, 1000);
    SendMessageW(app.status, WM_SETFONT, (WPARAM)font, FALSE);
    for (i = 0; i < 4; i++) {
        app.buttons[i] = CreateWindowExW(0, L"BUTTON", labels[i], WS_CHILD | WS_VISIBLE | WS_TABSTOP,
                                         x, 68, widths[i], 26, window,
                                         (HMENU)(UINT_PTR)(ID_CHECK + i), instance, NULL);
        SendMessageW(app.buttons[i], WM_SETFONT, (WPARAM)font, FALSE);
        x += widths[i] + 6;
    }
    enable(TRUE, FALSE, FALSE, FALSE);
}

static LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_CREATE:
        app.window = window;
        app.settings.progress_context = window;
        create_controls(window);
        show("Hello GUI " FWSTACK_PROGRAM_VERSION);
        if (app.log) PostMessageW(window, WM_COMMAND, ID_CHECK, 0);
        return 0;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case ID_CHECK:
        case ID_DOWNLOAD:
            if (!app.busy) start_worker(LOWORD(wparam));
            return 0;
        case ID_CANCEL: /* the download stops at its next progress call */
            InterlockedExchange(&app.cancel, 1);
            EnableWindow(button(ID_CANCEL), FALSE);
            show("Cancelling...");
            return 0;
        case ID_RESTART:
            if (app.staged && apply()) {
                show("Starting the new version...");
                if (!restart()) show("hello-gui: the new version did not start");
                DestroyWindow(window);
            }
            return 0;
        }
        break;
    case MSG_PROGRESS:
        on_progress_message((uint64_t)wparam, (uint64_t)lparam);
        return 0;
    case MSG_DONE:
        on_done(wparam);
        return 0;
    case WM_CLOSE:
        if (app.busy) { /* stop the worker first; MSG_DONE closes the window */
            app.closing = TRUE;
            InterlockedExchange(&app.cancel, 1);
            return 0;
        }
        if (app.staged) apply(); /* install on exit: the next start runs the new version */
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR command, int show_command) {
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    WNDCLASSW window_class;
    RECT frame = {0, 0, 428, 106};
    DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    MSG message;
    int argc;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    (void)previous;
    (void)command;

    app.settings.size = sizeof app.settings;
    app.settings.program_name = FWSTACK_PROGRAM_NAME;
    app.settings.update_info_address = FWSTACK_PROGRAM_UPDATE_ADDRESS;
    app.settings.publisher = FWSTACK_PROGRAM_PUBLISHER;
    app.settings.product_name = FWSTACK_PROGRAM_PRODUCT;
    app.settings.version_text = FWSTACK_PROGRAM_VERSION;
    app.settings.options = HELLO_OPTIONS;
    app.settings.progress = on_progress;
    /* First of all: removes what the last update left beside the program. */
    fwstack_cleanup(&app.settings, NULL);

    GetModuleFileNameW(NULL, app.path, sizeof app.path / sizeof app.path[0]);
    if (argv && argc == 3 && lstrcmpW(argv[1], L"--auto") == 0) app.log = argv[2];
    InitCommonControlsEx(&controls);

    memset(&window_class, 0, sizeof window_class);
    window_class.lpfnWndProc = window_proc;
    window_class.hInstance = instance;
    window_class.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
    window_class.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    window_class.lpszClassName = L"HelloGui";
    RegisterClassW(&window_class);
    AdjustWindowRect(&frame, style, FALSE);
    if (!CreateWindowExW(0, L"HelloGui", L"Hello GUI " FWSTACK_PROGRAM_VERSION, style, CW_USEDEFAULT,
                         CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top, NULL,
                         NULL, instance, NULL))
        return 1;
    ShowWindow(app.window, show_command);
    while (GetMessageW(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return 0;
}
