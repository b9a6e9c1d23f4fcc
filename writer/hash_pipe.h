// Hashing beside the transfers: the engine's thread reads and writes chunks
// and hands each filled chunk to one hashing worker, which feeds the running
// digest in the order the chunks were handed over. The chunks live in a small
// ring of page-aligned 1 MiB buffers; a buffer is filled again only once the
// worker has hashed what it held.
//
// When the worker or its buffers cannot be had, the pipe hashes each chunk on
// the engine's thread as it is handed over, with the caller's one buffer.
#pragma once
#include <windows.h>

#include "hash/sha256.h"

enum {
    HASH_PIPE_BUFFERS = 4,                       // the caller's working buffer and three more
    HASH_PIPE_QUEUE = HASH_PIPE_BUFFERS + 1,     // every buffer, and the image's start
};

struct HashPipeChunk {
    const BYTE *data;
    DWORD length;
    Sha256Context *copy;  // set: no data; the digest so far is copied here
};

struct HashPipe {
    Sha256Context *digest;
    BYTE *buffers[HASH_PIPE_BUFFERS];  // [0] is the caller's; the others are the pipe's
    LONG buffer_free_at[HASH_PIPE_BUFFERS];  // hashed count at which each is free again
    int buffer_count;                  // 1: no worker
    int next_buffer;
    HANDLE worker;                     // null: chunks are hashed on the engine's thread
    CRITICAL_SECTION lock;             // guards what follows
    CONDITION_VARIABLE changed;        // a chunk handed over, hashed, or the end asked
    HashPipeChunk queue[HASH_PIPE_QUEUE];
    LONG handed;                       // chunks handed over so far
    LONG hashed;                       // of those, chunks the worker is done with
    bool discard;                      // the run failed: drop chunks not yet hashed
    bool quit;
};

// The calls by which the pipe gets its worker and buffers and feeds the
// digest; Win32 and CryptoAPI, rebound by tests to refuse or to hold a chunk.
struct HashPipeCalls {
    HANDLE (WINAPI *CreateThread)(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                                  LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                                  LPDWORD id);
    LPVOID (WINAPI *VirtualAlloc)(LPVOID address, SIZE_T size, DWORD type, DWORD protect);
    BOOL (WINAPI *VirtualFree)(LPVOID address, SIZE_T size, DWORD type);
    void (*sha256_update)(Sha256Context *context, const void *data, DWORD length);
};

extern HashPipeCalls hash_pipe_calls;
extern const HashPipeCalls default_hash_pipe_calls;

// Starts the worker for `digest`, which the caller begins and finishes; the
// caller's `working` buffer is the ring's first. Never fails: without a worker
// the pipe hashes on the caller's thread.
void hash_pipe_start(HashPipe *pipe, Sha256Context *digest, BYTE *working);
// The buffer for the next chunk, in ring order, once the worker is done with it.
BYTE *hash_pipe_next_buffer(HashPipe *pipe);
// Hands `length` bytes at `data` (anywhere in a buffer) to the digest. The
// caller may go on writing the buffer to disk, but changes none of those
// bytes until the buffer comes back from hash_pipe_next_buffer (the start
// buffer: until hash_pipe_wait).
void hash_pipe_hand(HashPipe *pipe, const BYTE *data, DWORD length);
// Once every chunk handed over so far is in the digest, copies the digest
// into `copy` (sha256_duplicate), in order with the chunks; so one pass gives
// the digest of each of several lengths. A copy that fails, or that a stop
// drops, stays empty.
void hash_pipe_copy_digest(HashPipe *pipe, Sha256Context *copy);
// Returns once every chunk handed over is in the digest.
void hash_pipe_wait(HashPipe *pipe);
// Drops the chunks not yet hashed, waits for the one being hashed, ends the
// worker and frees the pipe's buffers. The digest is then the caller's alone.
void hash_pipe_stop(HashPipe *pipe);
