// What the window asks of the Windows shell beyond its own controls: the
// taskbar button's progress, a flash of that button, and a reason shown when
// Windows wants to end the session during a job.
//
// The window calls these through `window_shell`. The product binds it
// straight to Windows (ui/window_shell_win32.cpp); the simulated build
// rebinds it to note each request, as Wine's shell shows none of them. No
// logic lives here: when to ask, and for what, is decided by the callers.
#pragma once
#include <windows.h>
#include <shobjidl.h>

struct WindowShell {
    // The shell's taskbar list, set up for the calling thread (COM and
    // HrInit), or null where the shell has none; and its release.
    ITaskbarList3 *(*open_taskbar)(void);
    void (*close_taskbar)(ITaskbarList3 *taskbar);
    HRESULT (*SetProgressValue)(ITaskbarList3 *taskbar, HWND window, ULONGLONG completed,
                                ULONGLONG total);
    HRESULT (*SetProgressState)(ITaskbarList3 *taskbar, HWND window, TBPFLAG state);

    BOOL (WINAPI *FlashWindowEx)(PFLASHWINFO flash);
    BOOL (WINAPI *ShutdownBlockReasonCreate)(HWND window, LPCWSTR reason);
    BOOL (WINAPI *ShutdownBlockReasonDestroy)(HWND window);
};

// The process-wide binding; starts bound to Windows.
extern WindowShell window_shell;
extern const WindowShell win32_window_shell;
