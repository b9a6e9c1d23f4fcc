// The publisher's signature of the update manifest: latest.json.sig beside it,
// checked with the build's publisher key before anything of the manifest is read.
#pragma once
#include <windows.h>

#include "source/signature_format.h"

#define MANIFEST_NOT_SIGNED_TEXT L"" MANIFEST_NOT_SIGNED_SENTENCE

// True when the build has no publisher key, or when the manifest's address
// with ".sig" appended holds the publisher's signature of exactly these bytes
// (RSA PKCS #1 v1.5, SHA-256). Otherwise false, with one log line that names
// why: missing, another HTTP status, a transport error, unreadable, bad. A
// transport error (the connection failed, or cut the signature short) is also
// left in *transport_error, which is 0 for every other outcome.
bool manifest_signature_ok(const char *body, int body_bytes, DWORD *transport_error);
