#include "hash/sha256.h"

#include <stdio.h>

bool sha256_begin(Sha256Context *context)
{
    context->provider = 0;
    context->hash = 0;
    if (!CryptAcquireContextW(&context->provider, NULL, NULL, PROV_RSA_AES,
                              CRYPT_VERIFYCONTEXT)) {
        context->provider = 0;
        return false;
    }
    if (!CryptCreateHash(context->provider, CALG_SHA_256, 0, 0, &context->hash)) {
        CryptReleaseContext(context->provider, 0);
        context->provider = 0;
        context->hash = 0;
        return false;
    }
    return true;
}

void sha256_update(Sha256Context *context, const void *data, DWORD length)
{
    CryptHashData(context->hash, (const BYTE *)data, length, 0);
}

// The copy holds its own reference on the provider, so that finishing either
// digest leaves the other whole.
bool sha256_duplicate(const Sha256Context *from, Sha256Context *copy)
{
    copy->provider = 0;
    copy->hash = 0;
    if (!from->hash || !CryptContextAddRef(from->provider, NULL, 0)) return false;
    if (!CryptDuplicateHash(from->hash, NULL, 0, &copy->hash)) {
        CryptReleaseContext(from->provider, 0);
        copy->hash = 0;
        return false;
    }
    copy->provider = from->provider;
    return true;
}

bool sha256_finish_hex(Sha256Context *context, char text[DIGEST_TEXT_BYTES])
{
    BYTE value[32];
    DWORD length = sizeof value;
    BOOL read = CryptGetHashParam(context->hash, HP_HASHVAL, value, &length, 0);
    if (context->hash) CryptDestroyHash(context->hash);
    if (context->provider) CryptReleaseContext(context->provider, 0);
    context->hash = 0;
    context->provider = 0;
    text[0] = '\0';
    if (!read || length != 32) return false;
    for (int i = 0; i < 32; ++i) snprintf(text + 2 * i, 3, "%02x", value[i]);
    return true;
}
