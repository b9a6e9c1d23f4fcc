// The journal of every call made on the simulated machine.
#include "tests/support/sim_state.h"

#include <stdio.h>

#include "tests/support/virtual_clock.h"

namespace {

const size_t JOURNAL_LIMIT = 2000000;

const wchar_t *kind_name(SimEventKind kind)
{
    switch (kind) {
    case SIM_OPEN: return L"open";
    case SIM_OPEN_FAILED: return L"open-failed";
    case SIM_OPEN_FORWARDED: return L"open-forwarded";
    case SIM_CLOSE: return L"close";
    case SIM_IOCTL: return L"ioctl";
    case SIM_SEEK: return L"seek";
    case SIM_READ: return L"read";
    case SIM_WRITE: return L"write";
    case SIM_FLUSH: return L"flush";
    case SIM_FIND_VOLUME: return L"find-volume";
    case SIM_QUERY: return L"query";
    case SIM_SLEEP: return L"sleep";
    case SIM_EJECT: return L"eject";
    }
    return L"?";
}

const wchar_t *code_name(DWORD code)
{
    switch (code) {
    case IOCTL_STORAGE_QUERY_PROPERTY: return L"IOCTL_STORAGE_QUERY_PROPERTY";
    case IOCTL_DISK_GET_LENGTH_INFO: return L"IOCTL_DISK_GET_LENGTH_INFO";
    case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX: return L"IOCTL_DISK_GET_DRIVE_GEOMETRY_EX";
    case IOCTL_STORAGE_GET_DEVICE_NUMBER: return L"IOCTL_STORAGE_GET_DEVICE_NUMBER";
    case IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS: return L"IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS";
    case FSCTL_LOCK_VOLUME: return L"FSCTL_LOCK_VOLUME";
    case FSCTL_UNLOCK_VOLUME: return L"FSCTL_UNLOCK_VOLUME";
    case FSCTL_DISMOUNT_VOLUME: return L"FSCTL_DISMOUNT_VOLUME";
    case FSCTL_ALLOW_EXTENDED_DASD_IO: return L"FSCTL_ALLOW_EXTENDED_DASD_IO";
    case IOCTL_DISK_UPDATE_PROPERTIES: return L"IOCTL_DISK_UPDATE_PROPERTIES";
    }
    return nullptr;
}

}  // namespace

void sim_record(SimEvent event)
{
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    event.tick = m.real_clock ? ::GetTickCount() : virtual_clock_now();
    if (m.journal.size() < JOURNAL_LIMIT) m.journal.push_back(event);
    if (m.hook) m.hook(event, m.hook_context);
}

SimEvent sim_handle_event(SimEventKind kind, const SimHandle &handle)
{
    SimEvent event;
    event.kind = kind;
    event.path = handle.path;
    event.handle = handle.serial;
    event.disk = handle.kind == SIM_OBJ_SEARCH ? -1 : sim_object_disk(handle.kind, handle.index);
    return event;
}

void sim_note_misuse(const std::string &finding)
{
    SimGuard guard(sim_machine().mutex);
    sim_machine().misuse.push_back(finding);
}

std::vector<SimEvent> sim_journal(void)
{
    SimGuard guard(sim_machine().mutex);
    return sim_machine().journal;
}

void sim_clear_journal(void)
{
    SimGuard guard(sim_machine().mutex);
    sim_machine().journal.clear();
}

void sim_set_hook(void (*hook)(const SimEvent &event, void *context), void *context)
{
    SimGuard guard(sim_machine().mutex);
    sim_machine().hook = hook;
    sim_machine().hook_context = context;
}

int sim_count(SimEventKind kind, const wchar_t *path_part, DWORD code)
{
    SimGuard guard(sim_machine().mutex);
    int count = 0;
    for (const SimEvent &event : sim_machine().journal)
        if (event.kind == kind && (code == 0 || event.code == code) &&
            sim_text_contains(event.path, path_part))
            ++count;
    return count;
}

bool sim_opened(const wchar_t *path_part)
{
    return sim_count(SIM_OPEN, path_part) + sim_count(SIM_OPEN_FAILED, path_part) +
               sim_count(SIM_OPEN_FORWARDED, path_part) >
           0;
}

bool sim_opened_path(const wchar_t *path)
{
    SimGuard guard(sim_machine().mutex);
    for (const SimEvent &event : sim_machine().journal)
        if ((event.kind == SIM_OPEN || event.kind == SIM_OPEN_FAILED ||
             event.kind == SIM_OPEN_FORWARDED) &&
            _wcsicmp(event.path.c_str(), path) == 0)
            return true;
    return false;
}

int sim_writes_to_disk(int disk)
{
    SimGuard guard(sim_machine().mutex);
    int count = 0;
    for (const SimEvent &event : sim_machine().journal)
        if (event.kind == SIM_WRITE && event.disk == disk) ++count;
    return count;
}

bool sim_last_write(int disk, uint64_t *offset, DWORD *length)
{
    SimGuard guard(sim_machine().mutex);
    const std::vector<SimEvent> &journal = sim_machine().journal;
    for (size_t i = journal.size(); i-- > 0;) {
        const SimEvent &event = journal[i];
        if (event.kind != SIM_WRITE || event.disk != disk || event.moved == 0) continue;
        *offset = event.offset;
        *length = event.moved;
        return true;
    }
    return false;
}

std::wstring sim_event_text(const SimEvent &event)
{
    wchar_t text[600];
    const wchar_t *kind = kind_name(event.kind);
    switch (event.kind) {
    case SIM_OPEN:
    case SIM_OPEN_FAILED:
    case SIM_OPEN_FORWARDED:
        _snwprintf(text, 599, L"%lu %ls %ls access=0x%lx share=%lu flags=0x%lx -> #%lu err %lu",
                   event.tick, kind, event.path.c_str(), event.access, event.share, event.flags,
                   event.handle, event.error);
        break;
    case SIM_IOCTL: {
        const wchar_t *name = code_name(event.code);
        wchar_t number[16];
        _snwprintf(number, 15, L"0x%lx", event.code);
        number[15] = 0;
        _snwprintf(text, 599, L"%lu ioctl %ls #%lu %ls -> %ls err %lu", event.tick,
                   name ? name : number, event.handle, event.path.c_str(),
                   event.ok ? L"ok" : L"failed", event.error);
        break;
    }
    case SIM_READ:
    case SIM_WRITE:
    case SIM_SEEK:
        _snwprintf(text, 599, L"%lu %ls #%lu %ls at %I64u length %lu moved %lu -> %ls err %lu",
                   event.tick, kind, event.handle, event.path.c_str(), event.offset, event.length,
                   event.moved, event.ok ? L"ok" : L"failed", event.error);
        break;
    case SIM_SLEEP:
        _snwprintf(text, 599, L"%lu sleep %lu", event.tick, event.length);
        break;
    default:
        _snwprintf(text, 599, L"%lu %ls #%lu %ls -> %ls err %lu", event.tick, kind, event.handle,
                   event.path.c_str(), event.ok ? L"ok" : L"failed", event.error);
        break;
    }
    text[599] = 0;
    return text;
}

std::wstring sim_journal_text(void)
{
    SimGuard guard(sim_machine().mutex);
    std::wstring text;
    for (const SimEvent &event : sim_machine().journal) text += sim_event_text(event) + L"\n";
    return text;
}

bool sim_save_journal(const wchar_t *path)
{
    std::wstring text = sim_journal_text();
    std::string audit = sim_audit();
    text += L"audit: ";
    text += audit.empty() ? L"clean\n" : std::wstring(audit.begin(), audit.end());
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), NULL, 0, NULL,
                                    NULL);
    std::string utf8((size_t)bytes, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), (int)text.size(), &utf8[0], bytes, NULL, NULL);
    HANDLE file = ::CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD done = 0;
    BOOL ok = utf8.empty() || ::WriteFile(file, utf8.data(), (DWORD)utf8.size(), &done, NULL);
    ::CloseHandle(file);
    return ok && done == utf8.size();
}
