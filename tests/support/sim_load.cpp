#include "tests/support/sim_load.h"

#include <stdlib.h>

#include <map>

#include "tests/support/sim_state.h"

namespace {

std::string last_error;
std::wstring exit_journal_path;

void save_journal_at_exit(void)
{
    sim_save_journal(exit_journal_path.c_str());
}

struct Statement {
    std::vector<std::string> words;            // words before the first key=value
    std::vector<std::pair<std::string, std::string>> pairs;
    std::string failure;
};

bool split(const std::string &line, Statement *s)
{
    std::string token;
    bool quoted = false, any = false;
    auto flush = [&]() {
        if (!any) return;
        size_t eq = token.find('=');
        if (eq == std::string::npos) s->words.push_back(token);
        else s->pairs.push_back({token.substr(0, eq), token.substr(eq + 1)});
        token.clear();
        any = false;
    };
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (!quoted && c == '#') {
            break;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
            flush();
        } else {
            token += c;
            any = true;
        }
    }
    flush();
    return !quoted;
}

bool parse_number(const std::string &text, uint64_t *value)
{
    if (text.empty()) return false;
    char *end = nullptr;
    unsigned long long n = strtoull(text.c_str(), &end, 0);
    uint64_t scale = 1;
    switch (*end) {
    case 'k': case 'K': scale = 1ULL << 10; ++end; break;
    case 'm': case 'M': scale = 1ULL << 20; ++end; break;
    case 'g': case 'G': scale = 1ULL << 30; ++end; break;
    case 't': case 'T': scale = 1ULL << 40; ++end; break;
    }
    if (*end || end == text.c_str()) return false;
    *value = n * scale;
    return true;
}

std::wstring widen(const std::string &text)
{
    int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), (int)text.size(), NULL, 0);
    std::wstring wide((size_t)n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), (int)text.size(), &wide[0], n);
    return wide;
}

bool parse_hex(const std::string &text, std::vector<unsigned char> *bytes)
{
    std::string digits = text.compare(0, 4, "hex:") == 0 ? text.substr(4) : text;
    if (digits.size() % 2) return false;
    for (size_t i = 0; i < digits.size(); i += 2) {
        char pair[3] = {digits[i], digits[i + 1], 0};
        char *end = nullptr;
        long v = strtol(pair, &end, 16);
        if (*end) return false;
        bytes->push_back((unsigned char)v);
    }
    return true;
}

// A known name, or else a plain number.
template <typename T>
bool parse_name_or_number(const std::map<std::string, T> &names, const std::string &text, T *value)
{
    auto found = names.find(text);
    if (found != names.end()) {
        *value = found->second;
        return true;
    }
    uint64_t n = 0;
    if (!parse_number(text, &n)) return false;
    *value = (T)n;
    return true;
}

bool parse_bus(const std::string &text, int *bus)
{
    static const std::map<std::string, int> names = {
        {"scsi", BusTypeScsi}, {"atapi", BusTypeAtapi}, {"ata", BusTypeAta},
        {"1394", BusType1394}, {"ssa", BusTypeSsa},     {"fibre", BusTypeFibre},
        {"usb", BusTypeUsb},   {"raid", BusTypeRAID},   {"iscsi", BusTypeiScsi},
        {"sas", BusTypeSas},   {"sata", BusTypeSata},   {"sd", BusTypeSd},
        {"mmc", BusTypeMmc},   {"virtual", BusTypeVirtual}, {"nvme", 17},
    };
    return parse_name_or_number(names, text, bus);
}

bool parse_drive_type(const std::string &text, UINT *type)
{
    static const std::map<std::string, UINT> names = {
        {"unknown", DRIVE_UNKNOWN}, {"noroot", DRIVE_NO_ROOT_DIR}, {"removable", DRIVE_REMOVABLE},
        {"fixed", DRIVE_FIXED},     {"remote", DRIVE_REMOTE},      {"cdrom", DRIVE_CDROM},
        {"ramdisk", DRIVE_RAMDISK},
    };
    return parse_name_or_number(names, text, type);
}

// Lock keys, shared by disks, volumes and partitions; false if the key is not one.
bool lock_key(const std::string &key, uint64_t n, SimLockable *lock)
{
    if (key == "lock-refusals") lock->lock_refusals = (int)n;
    else if (key == "open-files") lock->foreign_open_files = (int)n;
    else if (key == "lock-error") lock->lock_error = (DWORD)n;
    else if (key == "dismount-error") lock->dismount_error = (DWORD)n;
    else if (key == "open-error") lock->open_error = (DWORD)n;
    else if (key == "rw-open-error") lock->rw_open_error = (DWORD)n;
    else if (key == "offline-error") lock->offline_error = (DWORD)n;
    else if (key == "online-error") lock->online_error = (DWORD)n;
    else return false;
    return true;
}

int volume_by_reference(const std::string &text)
{
    SimMachine &m = sim_machine();
    std::wstring wide = widen(text);
    for (size_t i = 0; i < m.volumes.size(); ++i) {
        const SimVolume &v = *m.volumes[i];
        if (wide.size() == 2 && wide[1] == L':' && towupper(wide[0]) == v.letter) return (int)i;
        if (sim_text_contains(v.name, wide.c_str()) && wide.size() > 2) return (int)i;
    }
    return -1;
}

// eject-veto=TYPE or TYPE:NAME, TYPE a PNP_VETO_TYPE number.
bool parse_veto(const std::string &text, SimDisk *disk)
{
    size_t colon = text.find(':');
    uint64_t type = 0;
    if (!parse_number(text.substr(0, colon), &type)) return false;
    disk->eject_veto = (int)type;
    disk->eject_veto_name = colon == std::string::npos ? L"" : widen(text.substr(colon + 1));
    return true;
}

bool load_disk(Statement &s)
{
    uint64_t number = 0;
    if (s.words.size() != 2 || !parse_number(s.words[1], &number)) {
        s.failure = "disk needs its number";
        return false;
    }
    SimDisk *disk = sim_add_disk((int)number, BusTypeUsb, 0);
    for (auto &pair : s.pairs) {
        const std::string &key = pair.first, &value = pair.second;
        uint64_t n = 0;
        bool numeric = parse_number(value, &n);
        bool ok = true;
        if (key == "bus") ok = parse_bus(value, &disk->bus_type);
        else if (key == "vendor") disk->vendor = value;
        else if (key == "product") disk->product = value;
        else if (key == "revision") disk->revision = value;
        else if (key == "serial") disk->serial = value;
        else if (key == "descriptor") ok = parse_hex(value, &disk->descriptor);
        else if (key == "backing") ok = sim_content_use_file(disk, widen(value).c_str());
        else if (key == "hold") disk->hold_path = widen(value);
        else if (key == "eject-veto") ok = parse_veto(value, disk);
        else if (!numeric) ok = false;
        else if (key == "size") disk->size = n;
        else if (key == "removable") disk->removable = n != 0;
        else if (key == "present") disk->present = n != 0;
        else if (key == "sector") disk->bytes_per_sector = (DWORD)n;
        else if (key == "descriptor-bytes") disk->descriptor_reported_bytes = (DWORD)n;
        else if (key == "property-error") disk->property_error = (DWORD)n;
        else if (key == "length-error") disk->length_error = (DWORD)n;
        else if (key == "geometry-error") disk->geometry_error = (DWORD)n;
        else if (key == "dasd-error") disk->dasd_error = (DWORD)n;
        else if (key == "capacity") disk->true_capacity = n;
        else if (key == "pull-after") disk->pull_after_bytes = n;
        else if (key == "hold-after") disk->hold_after_bytes = n;
        else if (key == "write-rate") disk->write_rate = n;
        else if (key == "read-rate") disk->read_rate = n;
        else if (key == "open-delay") disk->open_delay_ms = (DWORD)n;
        else if (key == "write-protected") disk->write_protected = n != 0;
        else ok = lock_key(key, n, &disk->lock);
        if (!ok) {
            s.failure = "disk: bad " + key + "=" + value;
            return false;
        }
    }
    return true;
}

bool parse_extent(const std::string &text, SimExtent *extent)
{
    size_t a = text.find(':'), b = text.find(':', a == std::string::npos ? a : a + 1);
    uint64_t disk = 0;
    if (a == std::string::npos || b == std::string::npos) return false;
    return parse_number(text.substr(0, a), &disk) &&
           parse_number(text.substr(a + 1, b - a - 1), &extent->offset) &&
           parse_number(text.substr(b + 1), &extent->length) && ((extent->disk = (int)disk), true);
}

bool load_volume(Statement &s)
{
    if (s.words.size() != 2) {
        s.failure = "volume needs a name, or - for a made-up one";
        return false;
    }
    std::wstring name = s.words[1] == "-" ? L"" : widen(s.words[1]);
    if (!name.empty() && name[0] == L'{') name = L"\\\\?\\Volume" + name;
    uint64_t disk = 0, partition = 0, offset = 1048576, length = 0;
    bool on_partition = false;
    std::vector<SimExtent> extents;
    for (auto &pair : s.pairs) {
        uint64_t n = 0;
        if (pair.first == "disk" && parse_number(pair.second, &n)) disk = n, on_partition = true;
        else if (pair.first == "partition" && parse_number(pair.second, &n)) partition = n;
        else if (pair.first == "offset" && parse_number(pair.second, &n)) offset = n;
        else if (pair.first == "length" && parse_number(pair.second, &n)) length = n;
    }
    int index;
    if (on_partition) {
        if (partition == 0) partition = 1;
        index = sim_add_partition_volume((int)disk, (int)partition, 0, DRIVE_REMOVABLE, offset,
                                         length);
        if (!name.empty()) {
            sim_machine().volumes[index]->name = name;
            if (name.back() != L'\\') sim_machine().volumes[index]->name += L'\\';
        }
    } else {
        index = sim_add_volume(name.c_str(), 0, DRIVE_REMOVABLE, {});
    }
    SimVolume *volume = sim_machine().volumes[index].get();
    for (auto &pair : s.pairs) {
        const std::string &key = pair.first, &value = pair.second;
        uint64_t n = 0;
        bool numeric = parse_number(value, &n);
        bool ok = true;
        if (key == "disk" || key == "partition" || key == "offset" || key == "length") continue;
        if (key == "letter") {
            ok = value.size() == 1 && isalpha((unsigned char)value[0]);
            if (ok) volume->letter = (wchar_t)toupper((unsigned char)value[0]);
        } else if (key == "type") ok = parse_drive_type(value, &volume->drive_type);
        else if (key == "extent") {
            SimExtent extent;
            ok = parse_extent(value, &extent);
            if (ok) volume->extents.push_back(extent);
        } else if (!numeric) ok = false;
        else if (key == "device-type") volume->device_type = (DWORD)n;
        else if (key == "device-number") volume->reported_disk = (int)n;
        else if (key == "partition-number") volume->partition_number = (int)n;
        else if (key == "extents-error") volume->extents_error = (DWORD)n;
        else if (key == "extents-count") volume->reported_extent_count = (int)n;
        else ok = lock_key(key, n, &volume->lock);
        if (!ok) {
            s.failure = "volume: bad " + key + "=" + value;
            return false;
        }
    }
    return true;
}

bool load_partition(Statement &s)
{
    uint64_t disk = 0, number = 0, offset = 1048576, length = 0;
    if (s.words.size() != 3 || !parse_number(s.words[1], &disk) ||
        !parse_number(s.words[2], &number)) {
        s.failure = "partition needs a disk and a number";
        return false;
    }
    for (auto &pair : s.pairs) {
        if (pair.first == "offset") parse_number(pair.second, &offset);
        if (pair.first == "length") parse_number(pair.second, &length);
    }
    SimPartition *partition = sim_add_partition((int)disk, (int)number, offset, length);
    for (auto &pair : s.pairs) {
        uint64_t n = 0;
        if (pair.first == "offset" || pair.first == "length") continue;
        if (!parse_number(pair.second, &n) || !lock_key(pair.first, n, &partition->lock)) {
            s.failure = "partition: bad " + pair.first + "=" + pair.second;
            return false;
        }
    }
    return true;
}

bool load_fault(Statement &s)
{
    static const std::map<std::string, int> kinds = {
        {"read", SIM_FAULT_READ}, {"write", SIM_FAULT_WRITE}, {"seek", SIM_FAULT_SEEK},
        {"readwrite", SIM_FAULT_READ | SIM_FAULT_WRITE}};
    uint64_t disk = 0;
    if (s.words.size() != 3 || !parse_number(s.words[1], &disk) || !kinds.count(s.words[2])) {
        s.failure = "fault needs a disk and read, write, seek or readwrite";
        return false;
    }
    SimFault fault;
    fault.kinds = kinds.at(s.words[2]);
    for (auto &pair : s.pairs) {
        uint64_t n = 0;
        bool numeric = parse_number(pair.second, &n);
        if (pair.first == "count" && pair.second == "always") fault.remaining = -1;
        else if (!numeric) s.failure = "fault: bad " + pair.first + "=" + pair.second;
        else if (pair.first == "offset") fault.offset = n;
        else if (pair.first == "length") fault.length = n;
        else if (pair.first == "count") fault.remaining = (int)n;
        else if (pair.first == "error") fault.error = (DWORD)n;
        else if (pair.first == "moved") fault.moved = (DWORD)n;
        else s.failure = "fault: unknown " + pair.first;
    }
    if (!s.failure.empty()) return false;
    sim_add_fault((int)disk, fault);
    return true;
}

bool load_statement(Statement &s)
{
    const std::string &verb = s.words[0];
    if (verb == "disk") return load_disk(s);
    if (verb == "volume") return load_volume(s);
    if (verb == "partition") return load_partition(s);
    if (verb == "fault") return load_fault(s);
    if (verb == "unprotected") {
        sim_set_protect_mounted_volumes(false);
        return true;
    }
    if (verb == "windows" && s.words.size() == 2) {
        sim_set_windows_directory(s.words[1] == "none" ? L"" : widen(s.words[1]).c_str());
        return true;
    }
    if (verb == "program" && s.words.size() == 2) {
        sim_set_program_path(widen(s.words[1]).c_str());
        return true;
    }
    uint64_t n = 0;
    if (verb == "volumes-fail" && s.words.size() == 2 && parse_number(s.words[1], &n)) {
        sim_set_volume_enumeration_error((DWORD)n);
        return true;
    }
    if (verb == "letter" && s.words.size() == 2 && s.words[1].size() == 1 && s.pairs.size() == 1 &&
        s.pairs[0].first == "type") {
        UINT type = 0;
        if (!parse_drive_type(s.pairs[0].second, &type)) return false;
        sim_add_letter((wchar_t)toupper((unsigned char)s.words[1][0]), type);
        return true;
    }
    if (verb == "mount" && s.words.size() == 2 && s.pairs.size() == 1 &&
        s.pairs[0].first == "volume") {
        int volume = volume_by_reference(s.pairs[0].second);
        if (volume < 0) {
            s.failure = "mount: no volume " + s.pairs[0].second;
            return false;
        }
        sim_add_mount_folder(widen(s.words[1]).c_str(), volume);
        return true;
    }
    s.failure = "unknown statement " + verb;
    return false;
}

}  // namespace

bool sim_load_machine_text(const char *text, std::string *error)
{
    SimGuard guard(sim_machine().mutex);
    int line_number = 0;
    const char *p = text;
    while (*p) {
        const char *end = strchr(p, '\n');
        std::string line = end ? std::string(p, end - p) : std::string(p);
        p = end ? end + 1 : p + line.size();
        ++line_number;
        Statement s;
        bool closed = split(line, &s);
        if (s.words.empty() && s.pairs.empty()) continue;
        if (!closed) s.failure = "unclosed quote";
        else if (s.words.empty()) s.failure = "a statement starts with its kind";
        if (s.failure.empty() && load_statement(s)) continue;
        if (s.failure.empty()) s.failure = "bad statement";
        if (error) *error = "line " + std::to_string(line_number) + ": " + s.failure;
        return false;
    }
    return true;
}

bool sim_load_machine_file(const wchar_t *path)
{
    // A scenario may replace the file at any moment (plugging a stick in).
    HANDLE file = ::CreateFileW(path, GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        last_error = "cannot open the machine file";
        return false;
    }
    std::string text;
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(file, chunk, sizeof chunk, &got, NULL) && got > 0) text.append(chunk, got);
    ::CloseHandle(file);
    last_error.clear();
    return sim_load_machine_text(text.c_str(), &last_error);
}

bool sim_apply_presence_text(const char *text, std::vector<SimPresenceChange> *changes)
{
    std::map<int, bool> wanted;
    for (const char *p = text; *p;) {
        const char *end = strchr(p, '\n');
        std::string line = end ? std::string(p, end - p) : std::string(p);
        p = end ? end + 1 : p + line.size();
        Statement s;
        if (!split(line, &s)) return false;
        if (s.words.empty() || s.words[0] != "disk") continue;
        uint64_t number = 0, present = 1;
        if (s.words.size() != 2 || !parse_number(s.words[1], &number)) return false;
        for (auto &pair : s.pairs)
            if (pair.first == "present" && !parse_number(pair.second, &present)) return false;
        wanted[(int)number] = present != 0;
    }
    SimMachine &m = sim_machine();
    SimGuard guard(m.mutex);
    for (auto &entry : m.disks) {
        SimDisk *disk = entry.second.get();
        bool present = wanted.count(entry.first) && wanted[entry.first];
        if (present == disk->present) continue;
        if (present) disk->present = true;
        else sim_pull(disk);
        changes->push_back({entry.first, present});
    }
    return true;
}

std::string sim_last_load_error(void)
{
    return last_error;
}

bool sim_start_process_machine(const wchar_t *machine_path, const wchar_t *journal_path)
{
    sim_reset();
    if (!sim_load_machine_file(machine_path)) return false;
    sim_install();
    if (journal_path && journal_path[0]) {
        exit_journal_path = journal_path;
        atexit(save_journal_at_exit);
    }
    return true;
}
