#include "source/signature_format.h"

#include <stdint.h>
#include <string.h>

namespace {

enum {
    DER_SEQUENCE = 0x30,
    DER_INTEGER = 0x02,
    DER_BIT_STRING = 0x03,
    DER_OBJECT_ID = 0x06,
    PUBLICKEYBLOB_TYPE = 0x06,
    BLOB_VERSION = 0x02,
};

const uint32_t CALG_RSA_SIGN_ID = 0x2400;
const uint32_t RSA1_MAGIC = 0x31415352;  // "RSA1"
const unsigned char RSA_ENCRYPTION_OID[] = {0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x01};

struct Der {
    const unsigned char *at;
    size_t left;
};

// Takes the next element when it has `tag`: its contents go to *inside.
// Lengths of up to two bytes cover every key of this size.
bool der_take(Der *der, unsigned char tag, Der *inside)
{
    if (der->left < 2 || der->at[0] != tag) return false;
    size_t header = 2, length = der->at[1];
    if (length & 0x80) {
        size_t count = length & 0x7F;
        if (count == 0 || count > 2 || der->left < 2 + count) return false;
        length = 0;
        for (size_t i = 0; i < count; ++i) length = length << 8 | der->at[2 + i];
        header += count;
    }
    if (der->left - header < length) return false;
    inside->at = der->at + header;
    inside->left = length;
    der->at += header + length;
    der->left -= header + length;
    return true;
}

// A positive INTEGER's magnitude: its one leading zero byte dropped.
void drop_sign_byte(Der *integer)
{
    if (integer->left > 1 && integer->at[0] == 0) {
        ++integer->at;
        --integer->left;
    }
}

void put_le32(unsigned char *at, uint32_t value)
{
    for (int i = 0; i < 4; ++i) at[i] = (unsigned char)(value >> (8 * i));
}

bool read_rsa_key(const unsigned char *der, size_t der_bytes, Der *modulus, uint32_t *exponent)
{
    Der all = {der, der_bytes}, info, algorithm, oid, bits, key, power;
    if (!der_take(&all, DER_SEQUENCE, &info) || all.left != 0) return false;
    if (!der_take(&info, DER_SEQUENCE, &algorithm) ||
        !der_take(&algorithm, DER_OBJECT_ID, &oid) || oid.left != sizeof RSA_ENCRYPTION_OID ||
        memcmp(oid.at, RSA_ENCRYPTION_OID, oid.left) != 0)
        return false;
    // The key's bits: no unused bits, then the RSAPublicKey sequence.
    if (!der_take(&info, DER_BIT_STRING, &bits) || bits.left < 1 || bits.at[0] != 0) return false;
    ++bits.at;
    --bits.left;
    if (!der_take(&bits, DER_SEQUENCE, &key) || !der_take(&key, DER_INTEGER, modulus) ||
        !der_take(&key, DER_INTEGER, &power))
        return false;
    drop_sign_byte(modulus);
    drop_sign_byte(&power);
    if (modulus->left != SIGNATURE_BYTES || !(modulus->at[0] & 0x80)) return false;
    if (power.left < 1 || power.left > 4) return false;
    *exponent = 0;
    for (size_t i = 0; i < power.left; ++i) *exponent = *exponent << 8 | power.at[i];
    return *exponent > 1 && (*exponent & 1);
}

}  // namespace

bool key_blob_from_der(const unsigned char *der, size_t der_bytes,
                       unsigned char blob[KEY_BLOB_BYTES])
{
    Der modulus;
    uint32_t exponent;
    if (!der || !read_rsa_key(der, der_bytes, &modulus, &exponent)) return false;
    blob[0] = PUBLICKEYBLOB_TYPE;
    blob[1] = BLOB_VERSION;
    blob[2] = blob[3] = 0;
    put_le32(blob + 4, CALG_RSA_SIGN_ID);
    put_le32(blob + 8, RSA1_MAGIC);
    put_le32(blob + 12, SIGNATURE_BYTES * 8);
    put_le32(blob + 16, exponent);
    for (size_t i = 0; i < SIGNATURE_BYTES; ++i) blob[20 + i] = modulus.at[SIGNATURE_BYTES - 1 - i];
    return true;
}

bool signature_for_cryptoapi(const unsigned char *raw, size_t raw_bytes,
                             unsigned char ordered[SIGNATURE_BYTES])
{
    if (raw_bytes != SIGNATURE_BYTES) return false;
    for (size_t i = 0; i < SIGNATURE_BYTES; ++i) ordered[i] = raw[SIGNATURE_BYTES - 1 - i];
    return true;
}
