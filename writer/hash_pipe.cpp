#include "writer/hash_pipe.h"

static const SIZE_T BUFFER_BYTES = 1048576;
// CryptHashData needs little stack; only this much is reserved, less committed.
static const SIZE_T WORKER_STACK_BYTES = 256 * 1024;

const HashPipeCalls default_hash_pipe_calls = {CreateThread, VirtualAlloc, VirtualFree,
                                                sha256_update};
HashPipeCalls hash_pipe_calls = default_hash_pipe_calls;

// Takes the chunks in the order they were handed over, one at a time, and
// counts each as hashed only once its bytes are in the digest (or dropped).
static DWORD WINAPI hash_worker(LPVOID parameter)
{
    HashPipe *pipe = (HashPipe *)parameter;
    EnterCriticalSection(&pipe->lock);
    for (;;) {
        while (pipe->hashed == pipe->handed && !pipe->quit)
            SleepConditionVariableCS(&pipe->changed, &pipe->lock, INFINITE);
        if (pipe->hashed == pipe->handed) break;
        HashPipeChunk chunk = pipe->queue[pipe->hashed % HASH_PIPE_QUEUE];
        bool drop = pipe->discard;
        LeaveCriticalSection(&pipe->lock);
        if (!drop && chunk.copy) sha256_duplicate(pipe->digest, chunk.copy);
        else if (!drop) hash_pipe_calls.sha256_update(pipe->digest, chunk.data, chunk.length);
        EnterCriticalSection(&pipe->lock);
        pipe->hashed++;
        WakeAllConditionVariable(&pipe->changed);
    }
    LeaveCriticalSection(&pipe->lock);
    return 0;
}

static void free_buffers(HashPipe *pipe)
{
    for (int i = 1; i < pipe->buffer_count; ++i)
        hash_pipe_calls.VirtualFree(pipe->buffers[i], 0, MEM_RELEASE);
    pipe->buffer_count = 1;
}

// All the ring's buffers, or none beyond the caller's.
static bool get_buffers(HashPipe *pipe)
{
    while (pipe->buffer_count < HASH_PIPE_BUFFERS) {
        BYTE *buffer = (BYTE *)hash_pipe_calls.VirtualAlloc(NULL, BUFFER_BYTES,
                                                            MEM_COMMIT | MEM_RESERVE,
                                                            PAGE_READWRITE);
        if (!buffer) {
            free_buffers(pipe);
            return false;
        }
        pipe->buffers[pipe->buffer_count++] = buffer;
    }
    return true;
}

void hash_pipe_start(HashPipe *pipe, Sha256Context *digest, BYTE *working)
{
    pipe->digest = digest;
    pipe->buffers[0] = working;
    pipe->buffer_count = 1;
    pipe->next_buffer = 0;
    for (int i = 0; i < HASH_PIPE_BUFFERS; ++i) pipe->buffer_free_at[i] = 0;
    pipe->worker = NULL;
    pipe->handed = 0;
    pipe->hashed = 0;
    pipe->discard = false;
    pipe->quit = false;
    InitializeCriticalSection(&pipe->lock);
    InitializeConditionVariable(&pipe->changed);
    if (!get_buffers(pipe)) return;
    pipe->worker = hash_pipe_calls.CreateThread(NULL, WORKER_STACK_BYTES, hash_worker, pipe,
                                                STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
    if (!pipe->worker) free_buffers(pipe);
}

BYTE *hash_pipe_next_buffer(HashPipe *pipe)
{
    int index = pipe->next_buffer;
    pipe->next_buffer = (index + 1) % pipe->buffer_count;
    if (!pipe->worker) return pipe->buffers[index];
    EnterCriticalSection(&pipe->lock);
    while (pipe->hashed < pipe->buffer_free_at[index])
        SleepConditionVariableCS(&pipe->changed, &pipe->lock, INFINITE);
    LeaveCriticalSection(&pipe->lock);
    return pipe->buffers[index];
}

// A chunk that is part of a buffer keeps the whole buffer until it is hashed.
static void enqueue(HashPipe *pipe, const HashPipeChunk &chunk)
{
    EnterCriticalSection(&pipe->lock);
    while (pipe->handed - pipe->hashed >= HASH_PIPE_QUEUE)
        SleepConditionVariableCS(&pipe->changed, &pipe->lock, INFINITE);
    pipe->queue[pipe->handed % HASH_PIPE_QUEUE] = chunk;
    pipe->handed++;
    for (int i = 0; i < pipe->buffer_count; ++i)
        if (chunk.data >= pipe->buffers[i] && chunk.data < pipe->buffers[i] + BUFFER_BYTES)
            pipe->buffer_free_at[i] = pipe->handed;
    WakeAllConditionVariable(&pipe->changed);
    LeaveCriticalSection(&pipe->lock);
}

void hash_pipe_hand(HashPipe *pipe, const BYTE *data, DWORD length)
{
    if (!pipe->worker) hash_pipe_calls.sha256_update(pipe->digest, data, length);
    else enqueue(pipe, HashPipeChunk{data, length, NULL});
}

void hash_pipe_copy_digest(HashPipe *pipe, Sha256Context *copy)
{
    if (!pipe->worker) sha256_duplicate(pipe->digest, copy);
    else enqueue(pipe, HashPipeChunk{NULL, 0, copy});
}

void hash_pipe_wait(HashPipe *pipe)
{
    if (!pipe->worker) return;
    EnterCriticalSection(&pipe->lock);
    while (pipe->hashed < pipe->handed)
        SleepConditionVariableCS(&pipe->changed, &pipe->lock, INFINITE);
    LeaveCriticalSection(&pipe->lock);
}

void hash_pipe_stop(HashPipe *pipe)
{
    if (pipe->worker) {
        EnterCriticalSection(&pipe->lock);
        pipe->discard = true;
        pipe->quit = true;
        WakeAllConditionVariable(&pipe->changed);
        LeaveCriticalSection(&pipe->lock);
        WaitForSingleObject(pipe->worker, INFINITE);
        CloseHandle(pipe->worker);
        pipe->worker = NULL;
    }
    free_buffers(pipe);
    DeleteCriticalSection(&pipe->lock);
}
