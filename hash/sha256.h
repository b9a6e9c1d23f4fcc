// SHA-256 through CryptoAPI, digests carried as 64 lower-case hex characters.
#pragma once
#include <windows.h>
#include <wincrypt.h>
#include <stdint.h>

enum {
    DIGEST_TEXT_BYTES = 65,
    HASH_CHUNK_BYTES = 1048576,
    HASH_PROGRESS_INTERVAL_MS = 250,
    HASH_MESSAGE_CHARS = 768,
};

struct Sha256Context {
    HCRYPTPROV provider;
    HCRYPTHASH hash;
};

bool sha256_begin(Sha256Context *context);
void sha256_update(Sha256Context *context, const void *data, DWORD length);
// Makes `copy` a second running digest that has seen what `from` has seen so
// far; each is fed and finished on its own. On failure `copy` is empty, and
// finishing it gives no text.
bool sha256_duplicate(const Sha256Context *from, Sha256Context *copy);
// Always releases the context; the text is empty unless it returns true.
bool sha256_finish_hex(Sha256Context *context, char text[DIGEST_TEXT_BYTES]);

// Hashes a whole file with progress reports labelled `label`, polling the
// cancel flag before every chunk. On failure `message` holds one sentence.
// `hashed_bytes` (may be null) receives how many bytes the digest covers.
bool hash_file(const wchar_t *path, const wchar_t *label, char digest[DIGEST_TEXT_BYTES],
               wchar_t message[HASH_MESSAGE_CHARS], uint64_t *hashed_bytes = NULL);
