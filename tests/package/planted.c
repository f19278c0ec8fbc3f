/* A library planted in a working directory under the network library's name. It leaves a mark
 * in the working directory when it is loaded, so a test can tell whether a program took it. */
#include <stdio.h>

__attribute__((constructor)) static void planted_loaded(void) {
    FILE* f = fopen("planted-library-was-loaded", "w");
    if (f) fclose(f);
}
