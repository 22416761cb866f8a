/* The run-time forms of a pipe's name in pondrel.h (the path formats, made
 * of the suffix formats) give, for every pipe index, the literal names. */
#include "include/pondrel.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

int main(void)
{
    static const char *const literal[] = {PONDREL_PIPE_PATH(0), PONDREL_PIPE_PATH(1), PONDREL_PIPE_PATH(2),
                                          PONDREL_PIPE_PATH(3), PONDREL_PIPE_PATH(4), PONDREL_PIPE_PATH(5)};
    static const wchar_t *const literalW[] = {PONDREL_PIPE_PATH_W(0), PONDREL_PIPE_PATH_W(1), PONDREL_PIPE_PATH_W(2),
                                              PONDREL_PIPE_PATH_W(3), PONDREL_PIPE_PATH_W(4), PONDREL_PIPE_PATH_W(5)};
    int failed = 0;
    unsigned index;
    for (index = PONDREL_PIPE_INDEX_MIN; index <= PONDREL_PIPE_INDEX_MAX; ++index) {
        char path[64];
        wchar_t pathW[64];
        snprintf(path, sizeof path, PONDREL_PIPE_PATH_FORMAT, index);
        swprintf(pathW, 64, PONDREL_PIPE_PATH_FORMAT_W, index);
        if (strcmp(path, literal[index]) != 0 || wcscmp(pathW, literalW[index]) != 0) {
            printf("pipe %u: a formatted name is not %s (the narrow one is %s)\n", index, literal[index], path);
            failed = 1;
        }
    }
    return failed;
}
