#include "source/manifest_text.h"

#include <string.h>

enum { KEY_PATTERN_BYTES = 64 };

static bool is_json_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

static const char *skip_blanks(const char *text)
{
    while (is_json_blank(*text)) ++text;
    return text;
}

// "key" with its quotes, cut to fit the pattern buffer.
static void make_key_pattern(const char *key, char pattern[KEY_PATTERN_BYTES])
{
    size_t length = 0;
    pattern[length++] = '"';
    while (*key && length < KEY_PATTERN_BYTES - 2) pattern[length++] = *key++;
    pattern[length++] = '"';
    pattern[length] = '\0';
}

const char *json_find_value(const char *text, const char *key)
{
    char pattern[KEY_PATTERN_BYTES];
    make_key_pattern(key, pattern);
    size_t pattern_length = strlen(pattern);
    for (const char *found = strstr(text, pattern); found; found = strstr(found + 1, pattern)) {
        const char *after = skip_blanks(found + pattern_length);
        if (*after == ':') return skip_blanks(after + 1);
    }
    return NULL;
}

// One character of a string value at *cursor, escapes resolved; moves the cursor on.
static char take_string_char(const char **cursor)
{
    const char *p = *cursor;
    char c = *p++;
    if (c == '\\' && *p != '\0') {
        char escaped = *p++;
        if (escaped == 'n') {
            c = '\n';
        } else if (escaped == 't') {
            c = '\t';
        } else if (escaped == 'u') {
            c = '?';
            if (p[0] && p[1] && p[2] && p[3]) p += 4;
        } else {
            c = escaped;
        }
    }
    *cursor = p;
    return c;
}

bool json_get_string(const char *text, const char *key, char *output, size_t capacity)
{
    const char *value = json_find_value(text, key);
    if (!value || *value != '"') return false;
    const char *cursor = value + 1;
    size_t kept = 0;
    while (*cursor != '\0' && *cursor != '"') {
        char c = take_string_char(&cursor);
        if (kept + 1 < capacity) output[kept++] = c;
    }
    if (capacity > 0) output[kept] = '\0';
    return *cursor == '"';
}

bool json_get_size(const char *text, const char *key, uint64_t *size)
{
    const char *value = json_find_value(text, key);
    if (!value || *value < '0' || *value > '9') return false;
    uint64_t total = 0;
    for (; *value >= '0' && *value <= '9'; ++value) {
        unsigned digit = (unsigned)(*value - '0');
        if (total > (UINT64_MAX - digit) / 10) return false;
        total = total * 10 + digit;
    }
    if (total == 0) return false;
    *size = total;
    return true;
}

int json_get_unsigned(const char *text, const char *key, uint64_t *value)
{
    const char *start = json_find_value(text, key);
    if (!start) return 0;
    uint64_t total = 0;
    const char *p = start;
    for (; *p >= '0' && *p <= '9'; ++p) {
        unsigned digit = (unsigned)(*p - '0');
        if (total > (UINT64_MAX - digit) / 10) return -1;
        total = total * 10 + digit;
    }
    if (p == start || (*p && !strchr(" \t\r\n,}]", *p))) return -1;
    *value = total;
    return 1;
}

bool is_digest_text(const char *text)
{
    for (int i = 0; i < DIGEST_HEX_CHARS; ++i) {
        char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

bool is_usable_version(const char *version)
{
    if (version[0] == '\0' || strstr(version, "..")) return false;
    for (const char *p = version; *p; ++p) {
        unsigned char c = (unsigned char)*p;
        if (c < 0x20 || c == 0x7F || strchr("\\/:*?\"<>|", c)) return false;
    }
    return true;
}
