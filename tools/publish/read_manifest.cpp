// Reads a latest.json file as the program reads the one it fetches, with the
// program's own text functions built for this machine, and prints what the
// program would take from it, or the sentence it would show instead. The
// publishing tool checks every manifest it writes with it.
//
// Usage: read_manifest FILE HOST [KEY_DER SIGNATURE]
// Exit 0: "version=", "isoUrl=", "isoSha256=" and "isoSizeBytes=" lines, and
//   "manifestSerial=" when the manifest has one (a program with a key compares
//   it with the highest it has seen, and refuses one that is not a number; a
//   program without a key ignores it); with
//   a key, first "signedBytes=", "keyBlob=" and "signature=": the bytes that
//   the program checks, and the key and the signature as the program hands
//   them to CryptoAPI (hexadecimal), for the publishing tool to verify.
// Exit 1: "refused=" with the program's sentence, and "reason=" for the publisher.
// Exit 2: a file cannot be read, or the key is not one the program can embed.
#include <inttypes.h>
#include <stdio.h>
#include <string.h>

#include "source/manifest_text.h"
#include "source/signature_format.h"

namespace {

// The sizes of the program's body buffer and work buffers, and of the wide
// fields that the version and the address are converted into.
enum {
    VERSION_WORK_BYTES = 32,
    URL_WORK_BYTES = 1100,
    VERSION_FIELD_UNITS = 31,
    URL_FIELD_UNITS = 1023,
};

// UTF-16 code units of well-formed UTF-8 text, or -1. The program converts
// without rejecting bad bytes, so a text that is not UTF-8 would reach it
// changed; the publisher must not write one.
long utf16_units(const char *text)
{
    long units = 0;
    for (const unsigned char *p = (const unsigned char *)text; *p;) {
        int follow = *p < 0x80 ? 0 : (*p >> 5) == 6 ? 1 : (*p >> 4) == 14 ? 2 : (*p >> 3) == 30 ? 3 : -1;
        if (follow < 0) return -1;
        uint32_t code = follow == 0 ? *p : *p & (0x3F >> follow);
        for (int i = 1; i <= follow; ++i) {
            if ((p[i] & 0xC0) != 0x80) return -1;
            code = code << 6 | (p[i] & 0x3F);
        }
        static const uint32_t SHORTEST[] = {0, 0x80, 0x800, 0x10000};
        if (code < SHORTEST[follow] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return -1;
        units += code >= 0x10000 ? 2 : 1;
        p += 1 + follow;
    }
    return units;
}

int refuse(const char *sentence, const char *reason)
{
    printf("refused=%s\nreason=%s\n", sentence, reason);
    return 1;
}

// Up to `capacity` bytes of a file, or -1.
long read_file(const char *path, void *buffer, size_t capacity)
{
    FILE *file = fopen(path, "rb");
    if (!file) return -1;
    size_t got = fread(buffer, 1, capacity, file);
    fclose(file);
    return (long)got;
}

void print_hex(const char *name, const unsigned char *bytes, size_t count)
{
    printf("%s=", name);
    for (size_t i = 0; i < count; ++i) printf("%02x", bytes[i]);
    printf("\n");
}

// The program turns its key and the signature that it fetched into
// CryptoAPI's forms before it reads a single field.
int read_signature(const char *key_path, const char *signature_path, size_t body_bytes)
{
    unsigned char key[4096], raw[SIGNATURE_BYTES + 1];
    unsigned char blob[KEY_BLOB_BYTES], ordered[SIGNATURE_BYTES];
    long key_bytes = read_file(key_path, key, sizeof key);
    if (key_bytes < 0 || !key_blob_from_der(key, (size_t)key_bytes, blob)) {
        fprintf(stderr, "%s is not an RSA 3072 public key in DER\n", key_path);
        return 2;
    }
    long raw_bytes = read_file(signature_path, raw, sizeof raw);
    if (raw_bytes < 0) return refuse(MANIFEST_NOT_SIGNED_SENTENCE, "there is no signature file");
    if (!signature_for_cryptoapi(raw, (size_t)raw_bytes, ordered))
        return refuse(MANIFEST_NOT_SIGNED_SENTENCE, "the signature is not 384 bytes long");
    printf("signedBytes=%zu\n", body_bytes);
    print_hex("keyBlob", blob, sizeof blob);
    print_hex("signature", ordered, sizeof ordered);
    return 0;
}

int read_manifest(const char *body, const char *host, bool keyed)
{
    char sentence[512];
    uint64_t serial = 0;
    int serial_found = json_get_unsigned(body, "manifestSerial", &serial);
    if (serial_found < 0 && keyed) {
        snprintf(sentence, sizeof sentence, "The version list from %s could not be read.", host);
        return refuse(sentence, "\"manifestSerial\" is not a bare unsigned integer");
    }
    char work[VERSION_WORK_BYTES];
    if (!json_get_string(body, "version", work, sizeof work)) {
        snprintf(sentence, sizeof sentence, "The version list from %s could not be read.", host);
        return refuse(sentence, "no complete \"version\" string");
    }
    char iso_version[VERSION_WORK_BYTES];
    if (json_get_string(body, "isoVersion", iso_version, sizeof iso_version) &&
        iso_version[0] != '\0')
        memcpy(work, iso_version, sizeof work);
    long version_units = utf16_units(work);
    if (!is_usable_version(work) || version_units <= 0 || version_units > VERSION_FIELD_UNITS) {
        snprintf(sentence, sizeof sentence, "The version list from %s could not be read.", host);
        return refuse(sentence, "the version cannot name a file in the program's folder");
    }

    char url[URL_WORK_BYTES];
    if (!json_get_string(body, "isoUrl", url, sizeof url) || strncmp(url, "https://", 8) != 0) {
        snprintf(sentence, sizeof sentence, "quenvar OS %s has no USB image published yet.", work);
        return refuse(sentence, "no complete \"isoUrl\" string that begins with https://");
    }
    long url_units = utf16_units(url);
    if (url_units < 0 || url_units > URL_FIELD_UNITS) {
        snprintf(sentence, sizeof sentence, "quenvar OS %s has no USB image published yet.", work);
        return refuse(sentence, "the image address is not UTF-8 or longer than 1023 characters");
    }

    char digest[DIGEST_HEX_CHARS + 1];
    uint64_t size = 0;
    if (!json_get_string(body, "isoSha256", digest, sizeof digest) || !is_digest_text(digest) ||
        !json_get_size(body, "isoSizeBytes", &size)) {
        snprintf(sentence, sizeof sentence,
                 "quenvar OS %s is published without a checksum, so it cannot be verified.", work);
        return refuse(sentence, "\"isoSha256\" is not 64 lower-case hexadecimal characters, or "
                                "\"isoSizeBytes\" is not a bare number above 0");
    }
    printf("version=%s\nisoUrl=%s\nisoSha256=%s\nisoSizeBytes=%" PRIu64 "\n", work, url, digest,
           size);
    if (serial_found > 0) printf("manifestSerial=%" PRIu64 "\n", serial);
    return 0;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 3 && argc != 5) {
        fprintf(stderr, "usage: read_manifest FILE HOST [KEY_DER SIGNATURE]\n");
        return 2;
    }
    // Like the program: at most MANIFEST_BODY_LIMIT bytes, read as one terminated text.
    static char body[MANIFEST_BODY_LIMIT + 1];
    long got = read_file(argv[1], body, MANIFEST_BODY_LIMIT);
    if (got < 0) {
        perror(argv[1]);
        return 2;
    }
    body[got] = '\0';
    if (argc == 5) {
        int signature = read_signature(argv[3], argv[4], (size_t)got);
        if (signature != 0) return signature;
    }
    return read_manifest(body, argv[2], argc == 5);
}
