// The publisher's key and a manifest signature, turned from the forms OpenSSL
// writes into the forms CryptoAPI reads. No Windows types: the publishing tool
// builds this file for the host and checks its signatures through it.
#pragma once
#include <stddef.h>

// What the user is told when a manifest is refused for its signature.
#define MANIFEST_NOT_SIGNED_SENTENCE                                              \
    "The update server's answer is not signed by quenvar, so it was not used. " \
    "Try again later, or use an ISO file."

enum {
    SIGNATURE_BYTES = 384,                  // RSA 3072
    KEY_BLOB_BYTES = 20 + SIGNATURE_BYTES,  // BLOBHEADER, RSAPUBKEY, modulus
    MANIFEST_BODY_LIMIT = 65535,            // the manifest bytes that are read, and signed
};

// CryptoAPI's PUBLICKEYBLOB (CALG_RSA_SIGN) for the key in `der`, a DER
// SubjectPublicKeyInfo as `openssl pkey -pubout -outform DER` writes it.
// False unless it is an RSA key of exactly 3072 bits whose exponent fits 32 bits.
bool key_blob_from_der(const unsigned char *der, size_t der_bytes,
                       unsigned char blob[KEY_BLOB_BYTES]);

// The raw signature of `openssl dgst -sha256 -sign` (big-endian) in the
// little-endian order of CryptVerifySignature. False unless it is exactly
// SIGNATURE_BYTES long.
bool signature_for_cryptoapi(const unsigned char *raw, size_t raw_bytes,
                             unsigned char ordered[SIGNATURE_BYTES]);
