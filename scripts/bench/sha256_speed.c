/* The benchmark's SHA-256 speed under Wine: hashes 256 MiB in 1 MiB pieces
   with the libcrypto the setup links and prints the rate in MB/s. */
#include <openssl/evp.h>
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int main(void)
{
    enum { PIECE = 1 << 20, PIECES = 256 };
    unsigned char *buf = calloc(1, PIECE), md[32];
    unsigned int len = 0;
    EVP_MD_CTX *c = EVP_MD_CTX_new();
    if (!buf || !c)
        return 1;
    LARGE_INTEGER f, a, b;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&a);
    EVP_DigestInit_ex(c, EVP_sha256(), NULL);
    for (int i = 0; i < PIECES; i++)
        EVP_DigestUpdate(c, buf, PIECE);
    EVP_DigestFinal_ex(c, md, &len);
    QueryPerformanceCounter(&b);
    double s = (double)(b.QuadPart - a.QuadPart) / (double)f.QuadPart;
    printf("%.0f\n", (double)PIECE * PIECES / s / 1e6);
    EVP_MD_CTX_free(c);
    free(buf);
    return 0;
}
