#include "source/manifest_signature.h"

#include <windows.h>
#include <wincrypt.h>

#include "app/error_text.h"
#include "app/log.h"
#include "source/http.h"
#include "source/http_body.h"
#include "source/manifest.h"
#include "source/publisher_key.h"
#include "source/signature_format.h"

enum {
    SIGNATURE_READ_LIMIT = 1024,  // more than any signature; a longer answer is unreadable
    REASON_CHARS = 256,
};

// True when the signature holds; otherwise *error is CryptoAPI's reason
// (NTE_BAD_SIGNATURE when the signature is simply wrong).
static bool verify_with_cryptoapi(const unsigned char blob[KEY_BLOB_BYTES], const char *body,
                                  int body_bytes, const unsigned char signature[SIGNATURE_BYTES],
                                  DWORD *error)
{
    HCRYPTPROV provider = 0;
    HCRYPTKEY key = 0;
    HCRYPTHASH hash = 0;
    if (!CryptAcquireContextW(&provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        provider = 0;
    bool good = provider && CryptImportKey(provider, blob, KEY_BLOB_BYTES, 0, 0, &key) &&
                CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) &&
                CryptHashData(hash, (const BYTE *)body, (DWORD)body_bytes, 0) &&
                CryptVerifySignatureW(hash, signature, SIGNATURE_BYTES, key, NULL, 0);
    *error = good ? 0 : GetLastError();
    if (hash) CryptDestroyHash(hash);
    if (key) CryptDestroyKey(key);
    if (provider) CryptReleaseContext(provider, 0);
    return good;
}

// The signature's bytes, through the same transport as the manifest; false
// with its log line when the server gives none, or with the transport's error
// in *error when the connection failed or was cut.
static bool fetch_signature(char raw[SIGNATURE_READ_LIMIT + 1], int *raw_bytes, DWORD *error_out)
{
    HttpRequest http;
    DWORD status = 0;
    DWORD error = open_http_request(&http, MANIFEST_URL L".sig", 0, &status);
    if (error == 0 && status == 200)
        *raw_bytes = read_http_body(http.request, raw, SIGNATURE_READ_LIMIT, &error);
    close_http_request(&http);
    *error_out = error;
    if (error != 0) {
        wchar_t reason[REASON_CHARS];
        describe_error(error, reason, REASON_CHARS);
        write_log(L"manifest: signature error %lu (%ls)", error, reason);
    } else if (status == 404) {
        write_log(L"manifest: signature missing (HTTP 404)");
    } else if (status != 200) {
        write_log(L"manifest: signature HTTP %lu", status);
    }
    return error == 0 && status == 200;
}

bool manifest_signature_ok(const char *body, int body_bytes, DWORD *transport_error)
{
    *transport_error = 0;
    if (!publisher_key.der) return true;
    unsigned char blob[KEY_BLOB_BYTES];
    if (!key_blob_from_der(publisher_key.der, publisher_key.der_bytes, blob)) {
        write_log(L"manifest: publisher key unusable");
        return false;
    }
    char raw[SIGNATURE_READ_LIMIT + 1];
    int raw_bytes = 0;
    if (!fetch_signature(raw, &raw_bytes, transport_error)) return false;
    unsigned char signature[SIGNATURE_BYTES];
    if (!signature_for_cryptoapi((const unsigned char *)raw, (size_t)raw_bytes, signature)) {
        write_log(L"manifest: signature unreadable (%d bytes)", raw_bytes);
        return false;
    }
    DWORD error = 0;
    if (verify_with_cryptoapi(blob, body, body_bytes, signature, &error)) return true;
    if (error == (DWORD)NTE_BAD_SIGNATURE)
        write_log(L"manifest: bad signature");
    else
        write_log(L"manifest: signature not checked, error %lu", error);
    return false;
}
