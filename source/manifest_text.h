// The small text lookups that read the update manifest. They take bytes from
// the network, use no Windows types and also build for the host (fuzzing).
#pragma once
#include <stddef.h>
#include <stdint.h>

enum { DIGEST_HEX_CHARS = 64 };

// Position of the first character of the value of the first "key" that is
// followed (after optional blanks) by a colon, at any depth; NULL if none.
const char *json_find_value(const char *text, const char *key);

// Copies the key's string value, unescaped, keeping at most capacity - 1
// bytes. False (output untouched) when the key is missing or its value is not
// a string; false (output filled) when the text ends before the closing quote.
bool json_get_string(const char *text, const char *key, char *output, size_t capacity);

// The key's value as a bare decimal integer, read up to the first non-digit.
// False when the key is missing, the value does not begin with a digit, is 0,
// or does not fit in 64 bits.
bool json_get_size(const char *text, const char *key, uint64_t *size);

// The key's value as a bare unsigned decimal integer of at most 64 bits that
// ends where a JSON number ends (a blank, a comma, a closing brace or bracket,
// or the end of the text): 1 when read, 0 when the key is missing, -1 for any
// other value (a fraction, an exponent, a sign, a string, too many digits).
int json_get_unsigned(const char *text, const char *key, uint64_t *value);

// True when the first 64 characters are all 0-9 or a-f.
bool is_digest_text(const char *text);

// True when the UTF-8 version can stand inside a file name in the cache
// folder: not empty, no control characters, none of \ / : * ? " < > |, no "..".
bool is_usable_version(const char *version);
