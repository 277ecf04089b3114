/* The benchmark's plain WinHTTP download: fetches each URL given into a file
   of the given directory, without hashing or anything else, so its time
   under Wine is the cost of the WinHTTP data path alone. With -p every URL
   is fetched at once, each from a thread of its own.

     winhttp_get.exe DIR [-p] URL...   (https://localhost:PORT/path;
                                        certificate errors are ignored, the
                                        server is ours) */
#include <windows.h>
#include <winhttp.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static const wchar_t *g_dir;

static int get(const wchar_t *dir, const wchar_t *url)
{
    URL_COMPONENTS uc;
    wchar_t host[256], path[2048];
    memset(&uc, 0, sizeof uc);
    uc.dwStructSize = sizeof uc;
    uc.lpszHostName = host;
    uc.dwHostNameLength = 256;
    uc.lpszUrlPath = path;
    uc.dwUrlPathLength = 2048;
    if (!WinHttpCrackUrl(url, 0, 0, &uc))
        return 1;
    HINTERNET s = WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY, NULL, NULL, 0);
    HINTERNET c = s ? WinHttpConnect(s, host, uc.nPort, 0) : NULL;
    HINTERNET r = c ? WinHttpOpenRequest(c, L"GET", path, NULL, NULL, NULL,
                                         WINHTTP_FLAG_SECURE) : NULL;
    int rc = 1;
    if (!r)
        goto out;
    DWORD ign = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
    WinHttpSetOption(r, WINHTTP_OPTION_SECURITY_FLAGS, &ign, sizeof ign);
    if (!WinHttpSendRequest(r, NULL, 0, NULL, 0, 0, 0) || !WinHttpReceiveResponse(r, NULL))
        goto out;
    const wchar_t *name = wcsrchr(path, L'/');
    wchar_t file[4096];
    swprintf(file, 4096, L"%ls\\%ls", dir, name ? name + 1 : path);
    HANDLE f = CreateFileW(file, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (f == INVALID_HANDLE_VALUE)
        goto out;
    enum { PIECE = 1 << 20 };
    char *buf = malloc(PIECE);
    DWORD got = 0, put;
    rc = buf ? 0 : 1;
    while (buf && WinHttpReadData(r, buf, PIECE, &got) && got > 0)
        if (!WriteFile(f, buf, got, &put, NULL) || put != got) {
            rc = 1;
            break;
        }
    free(buf);
    CloseHandle(f);
out:
    if (r) WinHttpCloseHandle(r);
    if (c) WinHttpCloseHandle(c);
    if (s) WinHttpCloseHandle(s);
    return rc;
}

static DWORD WINAPI get_thread(void *url)
{
    return (DWORD)get(g_dir, url);
}

int wmain(int argc, wchar_t **argv)
{
    int first = 2, parallel = argc > 2 && wcscmp(argv[2], L"-p") == 0;
    HANDLE threads[64];
    g_dir = argv[1];
    if (parallel)
        first = 3;
    if (argc - first > 64)
        return 2;
    for (int i = first; i < argc; i++) {
        if (parallel) {
            threads[i - first] = CreateThread(NULL, 0, get_thread, argv[i], 0, NULL);
            if (!threads[i - first])
                return 1;
        } else if (get(argv[1], argv[i]) != 0) {
            fwprintf(stderr, L"cannot fetch %ls\n", argv[i]);
            return 1;
        }
    }
    if (!parallel)
        return 0;
    WaitForMultipleObjects((DWORD)(argc - first), threads, TRUE, INFINITE);
    for (int i = first; i < argc; i++) {
        DWORD rc = 1;
        GetExitCodeThread(threads[i - first], &rc);
        if (rc != 0) {
            fwprintf(stderr, L"cannot fetch %ls\n", argv[i]);
            return 1;
        }
    }
    return 0;
}
