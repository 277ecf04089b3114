/* The benchmark's trivial static Windows program: prints one line and ends,
   so its time under Wine is the cost of starting a process there. */
#include <stdio.h>

int main(void)
{
    puts("hello 1.0.0");
    return 0;
}
