// libFuzzer target for the manifest text functions, built for the host by
// tools/fuzz-manifest.sh. The body is cut and terminated as the fetch does.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "source/manifest_text.h"

static char body[65536];

static void check_string(const char *key, size_t capacity)
{
    char output[1100];
    memset(output, 'U', sizeof output);
    output[sizeof output - 1] = '\0';
    bool complete = json_get_string(body, key, output, capacity);
    size_t length = strlen(output);
    if (complete && length >= capacity) abort();
    if (length >= capacity && output[0] != 'U') abort();
    if (complete && capacity == 65) is_digest_text(output);
    if (complete && capacity == 32) is_usable_version(output);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 65535) size = 65535;
    memcpy(body, data, size);
    body[size] = '\0';

    check_string("version", 32);
    check_string("isoVersion", 32);
    check_string("isoUrl", 1100);
    check_string("isoSha256", 65);
    uint64_t iso_size = 0;
    if (json_get_size(body, "isoSizeBytes", &iso_size) && iso_size == 0) abort();

    // Keys of any length, taken from the input's first line.
    char key[128];
    size_t key_length = 0;
    while (key_length < size && key_length < sizeof key - 1 && body[key_length] != '\n')
        ++key_length;
    memcpy(key, body, key_length);
    key[key_length] = '\0';
    const char *value = json_find_value(body, key);
    if (value && (value < body || value > body + size)) abort();
    check_string(key, 1 + (size % 40));
    return 0;
}
