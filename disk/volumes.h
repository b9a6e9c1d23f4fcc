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
};

// Owned by the caller for one piece of disk work; `count` set to 0 before the
// first take_volumes_offline.
struct HeldVolumes {
    HANDLE handles[MAX_HELD_VOLUMES];
    wchar_t names[MAX_HELD_VOLUMES][HELD_NAME_CHARS];
    int partition_numbers[MAX_HELD_VOLUMES];  // -1: not reported
    // Taken offline because it would not lock; brought online at release.
    bool offline[MAX_HELD_VOLUMES];
    int count;
};

// Whether the volume (a handle of any access) lies on the disk: its device
// number first, then its extents. The takeover and the refusal to overwrite
// the image's own volume both decide by this, so they cannot disagree.
bool volume_lies_on_disk(HANDLE volume, int disk_number);
// Locks, dismounts and holds every mounted volume on the disk, then (unless
// QV_NO_PARTITION_LOCK exists) its raw partitions 1 to 16. May be repeated
// with the same set: what is held already is skipped.
void take_volumes_offline(int disk_number, HeldVolumes *held);
// Takes over `volume`: it ends in the set or closed. A volume that will not
// lock is dismounted and then taken offline, so that no other program can
// mount it again while the disk is written.
void lock_dismount_and_hold(HeldVolumes *held, HANDLE volume, const wchar_t *path,
                            int partition_number, int lock_attempts);
// Brings online what was taken offline, then unlocks and closes every entry
// in order. `count` stays as it was.
void release_held_volumes(HeldVolumes *held);
