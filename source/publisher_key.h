// The publisher's public key that every update manifest must be signed with,
// embedded by the build (CMake option QV_MANIFEST_KEY) as DER bytes.
#pragma once
#include <stddef.h>

struct PublisherKey {
    const unsigned char *der;  // NULL in a build without a key: manifests are not checked
    size_t der_bytes;
};

// Defined by the build's generated publisher_key.cpp.
extern PublisherKey publisher_key;
