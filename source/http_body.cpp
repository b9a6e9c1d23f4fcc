#include "source/http_body.h"

int read_http_body(HINTERNET request, char *buffer, int limit, DWORD *error)
{
    int total = 0;
    *error = 0;
    for (;;) {
        DWORD available = 0;
        if (!WinHttpQueryDataAvailable(request, &available)) {
            *error = GetLastError();
            break;
        }
        if (available > (DWORD)(limit - total)) available = (DWORD)(limit - total);
        if (available == 0) break;
        DWORD got = 0;
        if (!WinHttpReadData(request, buffer + total, available, &got)) {
            *error = GetLastError();
            break;
        }
        if (got == 0) break;
        total += (int)got;
    }
    buffer[total] = '\0';
    return total;
}
