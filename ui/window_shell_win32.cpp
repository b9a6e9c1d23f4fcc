// The window's shell requests bound straight to Windows.
#include "ui/window_shell.h"

static ITaskbarList3 *open_taskbar(void)
{
    if (FAILED(CoInitializeEx(NULL, COINIT_APARTMENTTHREADED))) return NULL;
    ITaskbarList3 *taskbar = NULL;
    if (SUCCEEDED(CoCreateInstance(CLSID_TaskbarList, NULL, CLSCTX_INPROC_SERVER,
                                   IID_ITaskbarList3, (void **)&taskbar))) {
        if (SUCCEEDED(taskbar->HrInit())) return taskbar;
        taskbar->Release();
    }
    CoUninitialize();
    return NULL;
}

static void close_taskbar(ITaskbarList3 *taskbar)
{
    taskbar->Release();
    CoUninitialize();
}

static HRESULT set_progress_value(ITaskbarList3 *taskbar, HWND window, ULONGLONG completed,
                                  ULONGLONG total)
{
    return taskbar->SetProgressValue(window, completed, total);
}

static HRESULT set_progress_state(ITaskbarList3 *taskbar, HWND window, TBPFLAG state)
{
    return taskbar->SetProgressState(window, state);
}

const WindowShell win32_window_shell = {
    open_taskbar,
    close_taskbar,
    set_progress_value,
    set_progress_state,
    FlashWindowEx,
    ShutdownBlockReasonCreate,
    ShutdownBlockReasonDestroy,
};

WindowShell window_shell = win32_window_shell;
