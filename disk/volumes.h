// Taking every volume and raw partition of a disk offline before it is
// overwritten, and holding them so until the work ends.
#pragma once
#include <windows.h>

enum {
    MAX_HELD_VOLUMES = 32,
    HELD_NAME_CHARS = 64,
    VOLUME_LOCK_ATTEMPTS = 20,
    PARTITION_LOCK_ATTEMPTS = 8,
    LOCK_RETRY_DELAY_MS = 250,
    MAX_PARTITION_NUMBER = 16,
    MAX_UNHELD_VOLUMES = 8,
};

// Owned by the caller for one piece of disk work; all zero before the first
// take_volumes_offline.
struct HeldVolumes {
    HANDLE handles[MAX_HELD_VOLUMES];
    wchar_t names[MAX_HELD_VOLUMES][HELD_NAME_CHARS];
    int partition_numbers[MAX_HELD_VOLUMES];  // -1: not reported
    // What the takeover did to each. One neither locked nor offline may be
    // mounted still (or again), and Windows refuses disk writes into it.
    bool locked[MAX_HELD_VOLUMES];
    bool dismounted[MAX_HELD_VOLUMES];
    bool offline[MAX_HELD_VOLUMES];  // brought online again at release
    int count;
    // Volumes of the disk that could not be held (not opened for writing,
    // or the set full): they stay as they were, mounted.
    wchar_t unheld_names[MAX_UNHELD_VOLUMES][HELD_NAME_CHARS];
    int unheld_partition_numbers[MAX_UNHELD_VOLUMES];
    int unheld_count;
    // Asked before every pause; true makes the takeover give up at once,
    // leaving what it holds to the release. Null: never.
    bool (*stop_requested)(void);
};

enum VolumePlace { VOLUME_ELSEWHERE, VOLUME_ON_DISK, VOLUME_UNPLACED };

// Where the volume (a handle of any access) lies: on the disk when its device
// number or one of its extents says so; unplaced when it answers neither. The
// takeover and the refusals to overwrite the image's or the program's own
// volume all decide by this, so they cannot disagree.
VolumePlace place_volume(HANDLE volume, int disk_number);
// Locks, dismounts and holds every mounted volume on the disk, then (unless
// QV_NO_PARTITION_LOCK exists) its raw partitions 1 to 16. May be repeated
// with the same set: what is held already is skipped.
void take_volumes_offline(int disk_number, HeldVolumes *held);
// Takes over `volume`: it ends in the set or closed. A volume that will not
// lock is dismounted and then taken offline, so that no other program can
// mount it again while the disk is written. A stop asked for during the lock
// attempts closes it untouched.
void lock_dismount_and_hold(HeldVolumes *held, HANDLE volume, const wchar_t *path,
                            int partition_number, int lock_attempts);
// True when the entry keeps Windows from mounting it (locked, or offline).
bool held_volume_released(const HeldVolumes *held, int entry);
// Brings online what was taken offline, then unlocks and closes every entry
// in order. `count` stays as it was.
void release_held_volumes(HeldVolumes *held);
// For a disk whose device is about to be ejected: every dismounted entry is
// taken offline before it is unlocked and closed, so nothing can mount it
// between its close and the eject; `offline` says which went offline.
void release_held_volumes_offline(HeldVolumes *held);
// When that device stayed after all: each entry taken offline is opened again
// by its name and brought online, as release_held_volumes would have done.
void bring_released_volumes_online(HeldVolumes *held);
