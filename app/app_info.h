// Fixed texts and the application folder, shared by the whole program.
#pragma once
#include <stddef.h>

#define QV_PROGRAM_TITLE L"quenvar OS USB Writer"
#define QV_VERSION_TEXT L"1.0.3"
#define QV_WINDOW_CLASS L"QuenvarOsUsbWriter"
#define QV_MUTEX_NAME L"Local\\quenvar-os-usb-writer"
#define QV_APP_FOLDER_NAME L"\\quenvar OS USB Writer"
#define QV_TEST_FOLDER_NAME L"qvwriter"

enum { APP_PATH_CHARS = 260, MESSAGE_CHARS = 768 };

// Written once by start-up before any other thread exists; read-only afterwards.
extern wchar_t app_folder[APP_PATH_CHARS];

// Appends `name` to `base` (cut to 259 characters), creates the folder and
// initialises the status lock.
void prepare_app_folder(const wchar_t *base, const wchar_t *name);
