// Disk content: sparse pages in memory, or a host file for demos and benchmarks.
#include "tests/support/sim_state.h"

#include <unordered_map>

namespace {

const uint64_t PAGE_BYTES = 65536;

bool all_zero(const unsigned char *bytes, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        if (bytes[i]) return false;
    return true;
}

}  // namespace

struct SimContent {
    std::unordered_map<uint64_t, std::unique_ptr<unsigned char[]>> pages;
    HANDLE file = INVALID_HANDLE_VALUE;
};

static SimContent *content_of(SimDisk *disk)
{
    if (!disk->content) disk->content = new SimContent;
    return disk->content;
}

static void file_read(HANDLE file, uint64_t offset, unsigned char *buffer, size_t length)
{
    memset(buffer, 0, length);
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)offset;
    DWORD got = 0;
    if (::SetFilePointerEx(file, at, NULL, FILE_BEGIN))
        ::ReadFile(file, buffer, (DWORD)length, &got, NULL);  // beyond the end reads as zero
}

static void file_write(HANDLE file, uint64_t offset, const unsigned char *buffer, size_t length)
{
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)offset;
    DWORD done = 0;
    if (::SetFilePointerEx(file, at, NULL, FILE_BEGIN))
        ::WriteFile(file, buffer, (DWORD)length, &done, NULL);
}

// Calls visit(page, offset within the page, piece length, bytes done so far)
// for each page that [offset, offset + length) touches.
template <typename Visit>
static void for_each_page(uint64_t offset, size_t length, Visit visit)
{
    size_t done = 0;
    while (done < length) {
        uint64_t page = offset / PAGE_BYTES;
        size_t within = (size_t)(offset % PAGE_BYTES);
        size_t piece = (size_t)PAGE_BYTES - within;
        if (piece > length - done) piece = length - done;
        visit(page, within, piece, done);
        offset += piece;
        done += piece;
    }
}

void sim_content_read(SimDisk *disk, uint64_t offset, void *buffer, size_t length)
{
    SimContent *content = content_of(disk);
    unsigned char *out = (unsigned char *)buffer;
    if (content->file != INVALID_HANDLE_VALUE) {
        file_read(content->file, offset, out, length);
        return;
    }
    for_each_page(offset, length, [&](uint64_t page, size_t within, size_t piece, size_t done) {
        auto found = content->pages.find(page);
        if (found == content->pages.end()) memset(out + done, 0, piece);
        else memcpy(out + done, found->second.get() + within, piece);
    });
}

void sim_content_write(SimDisk *disk, uint64_t offset, const void *buffer, size_t length)
{
    SimContent *content = content_of(disk);
    const unsigned char *in = (const unsigned char *)buffer;
    if (content->file != INVALID_HANDLE_VALUE) {
        file_write(content->file, offset, in, length);
        return;
    }
    for_each_page(offset, length, [&](uint64_t page, size_t within, size_t piece, size_t done) {
        auto found = content->pages.find(page);
        if (found != content->pages.end()) {
            memcpy(found->second.get() + within, in + done, piece);
        } else if (!all_zero(in + done, piece)) {
            // Zeros on a page never written cost nothing: it reads as zero already.
            unsigned char *fresh = new unsigned char[PAGE_BYTES]();
            memcpy(fresh + within, in + done, piece);
            content->pages[page].reset(fresh);
        }
    });
}

bool sim_content_use_file(SimDisk *disk, const wchar_t *path)
{
    SimContent *content = content_of(disk);
    HANDLE file = ::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, NULL,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return false;
    if (content->file != INVALID_HANDLE_VALUE) ::CloseHandle(content->file);
    content->file = file;
    content->pages.clear();
    return true;
}

void sim_content_free(SimDisk *disk)
{
    if (!disk->content) return;
    if (disk->content->file != INVALID_HANDLE_VALUE) ::CloseHandle(disk->content->file);
    delete disk->content;
    disk->content = nullptr;
}

size_t sim_content_page_count(const SimDisk *disk)
{
    return disk->content ? disk->content->pages.size() : 0;
}
