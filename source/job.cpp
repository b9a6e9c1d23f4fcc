#include "source/job.h"

#include <string.h>

#include "app/log.h"
#include "app/text.h"
#include "disk/seam.h"
#include "hash/sha256.h"
#include "source/cache_names.h"
#include "source/download.h"
#include "source/image_cache.h"
#include "source/manifest.h"
#include "source/startup_check.h"
#include "ui/status.h"
#include "writer/engine.h"

enum { QUESTION_CHARS = 512, JOB_UNSETTLED = -1 };

static const wchar_t LOCAL_FILE_DAMAGED[] =
    L"The ISO file changed while it was written, or could not be read the same way twice, "
    L"so nothing on the pen drive will start a PC. Choose the file again and press Write.";

struct Job {
    wchar_t message[MESSAGE_CHARS];
    wchar_t image_path[APP_PATH_CHARS];
    char expected_digest[DIGEST_TEXT_BYTES];
    LONG damaged;
    bool ejected;  // the proven stick left as after "Safely Remove"
    bool local;
    int result;  // JOB_UNSETTLED until a step settles it
};

static void tell_window(UINT message, WPARAM wparam)
{
    if (main_window) PostMessageW(main_window, message, wparam, 0);
}

// Asks the user through the window; only Yes (6) goes on.
static bool user_says_yes(const wchar_t *question)
{
    return main_window && SendMessageW(main_window, WM_APP_ASK, 0, (LPARAM)question) == IDYES;
}

// A file chosen while the start-up check still runs is compared once the
// check is over, so that whether it is caught does not depend on the network.
static bool startup_check_awaited(Job *job)
{
    if (wait_for_startup_check()) return true;
    copy_cut(job->message, MESSAGE_CHARS, L"Stopped.");
    return false;
}

static bool local_file_steps(Job *job)
{
    copy_cut(job->image_path, APP_PATH_CHARS, local_image_path);
    if (!hash_file(job->image_path, L"Checking the ISO file\x2026", job->expected_digest,
                   job->message))
        return false;
    if (!startup_check_awaited(job)) return false;
    if (manifest_info.loaded != 1) {
        write_log(L"local image not compared: no manifest");
    } else if (strcmp(job->expected_digest, manifest_info.iso_sha256) != 0) {
        wchar_t question[QUESTION_CHARS];
        format_cut(question, QUESTION_CHARS - 1,
                   L"This file is not the official quenvar OS %ls image.\n\n"
                   L"Write it to the pen drive anyway?",
                   manifest_info.version);
        if (!user_says_yes(question)) {
            copy_cut(job->message, MESSAGE_CHARS, L"Nothing was written.");
            job->result = JOB_STOPPED;
            return false;
        }
    }
    write_log(L"local image %ls sha %hs", job->image_path, job->expected_digest);
    return true;
}

// The start-up check failed: the job fetches the manifest itself.
static bool make_sure_manifest_loaded(Job *job)
{
    if (manifest_info.loaded == 1) return true;
    report_status(0, L"Checking for the latest quenvar OS\x2026");
    fetch_manifest();
    tell_window(WM_APP_MANIFEST_DONE, 0);
    if (manifest_info.loaded == 1) return true;
    copy_cut(job->message, MESSAGE_CHARS, manifest_info.message);
    return false;
}

// Images of other versions would be removed after the download anyway; when
// they are what leaves too little room, they go first.
static bool room_for_download(uint64_t resume, wchar_t *message)
{
    if (enough_free_space(resume, message)) return true;
    if (!remove_old_images()) return false;
    message[0] = L'\0';
    return enough_free_space(resume, message);
}

static bool download_into_cache(Job *job)
{
    wchar_t part[APP_PATH_CHARS], sidecar[APP_PATH_CHARS];
    build_cache_path(part, manifest_info.version, CACHE_PART_SUFFIX);
    build_cache_path(sidecar, manifest_info.version, CACHE_SIDECAR_SUFFIX);
    uint64_t resume = resume_offset_for(part);
    if (!room_for_download(resume, job->message)) return false;
    if (!download_image(job->image_path, part, sidecar, resume, job->message)) return false;
    remove_old_images();
    return true;
}

static bool download_steps(Job *job)
{
    if (!make_sure_manifest_loaded(job)) return false;
    build_cache_path(job->image_path, manifest_info.version, CACHE_IMAGE_SUFFIX);
    if (!check_cached_image() && !download_into_cache(job)) return false;
    tell_window(WM_APP_MANIFEST_DONE, 0);
    memcpy(job->expected_digest, manifest_info.iso_sha256, DIGEST_TEXT_BYTES);
    return true;
}

static void write_step(Job *job)
{
    if (write_image_and_eject(job->image_path, job->expected_digest, &chosen_disk, &job->damaged,
                              job->message, &job->ejected)) {
        job->result = JOB_OK;
        return;
    }
    if (!job->damaged) return;
    // The engine's sentence speaks of a deleted download; a chosen file is never deleted.
    if (job->local)
        copy_cut(job->message, MESSAGE_CHARS, LOCAL_FILE_DAMAGED);
    else
        delete_cached_version();
}

DWORD WINAPI job_thread(LPVOID)
{
    Job job;
    ZeroMemory(&job, sizeof job);
    job.result = JOB_UNSETTLED;
    job.local = local_image_path[0] != L'\0';
    seam.SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);

    bool ready = job.local ? local_file_steps(&job) : download_steps(&job);
    if (ready) write_step(&job);
    if (job.result == JOB_UNSETTLED) job.result = cancel_requested() ? JOB_STOPPED : JOB_FAILED;

    seam.SetThreadExecutionState(ES_CONTINUOUS);
    set_final_status(job.message);
    if (main_window)
        PostMessageW(main_window, WM_APP_JOB_DONE, (WPARAM)job.result, job.ejected ? 1 : 0);
    return 0;
}
