/* The run-time forms of a pipe's name in pondrel.h give, for every pipe
 * index, the same name as the literal forms, narrow and wide. */
#include "include/pondrel.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

static const char *const Literal[] = {
    PONDREL_PIPE_PATH(0), PONDREL_PIPE_PATH(1), PONDREL_PIPE_PATH(2),
    PONDREL_PIPE_PATH(3), PONDREL_PIPE_PATH(4), PONDREL_PIPE_PATH(5),
};
static const wchar_t *const LiteralW[] = {
    PONDREL_PIPE_PATH_W(0), PONDREL_PIPE_PATH_W(1), PONDREL_PIPE_PATH_W(2),
    PONDREL_PIPE_PATH_W(3), PONDREL_PIPE_PATH_W(4), PONDREL_PIPE_PATH_W(5),
};

int main(void)
{
    int failed = 0;
    unsigned index;
    for (index = PONDREL_PIPE_INDEX_MIN; index <= PONDREL_PIPE_INDEX_MAX; ++index) {
        char path[64], suffixed[64];
        wchar_t pathW[64], suffixedW[64];
        snprintf(path, sizeof path, PONDREL_PIPE_PATH_FORMAT, index);
        snprintf(suffixed, sizeof suffixed, "%s" PONDREL_PIPE_SUFFIX_FORMAT, PONDREL_DEVICE_PATH, index);
        swprintf(pathW, 64, PONDREL_PIPE_PATH_FORMAT_W, index);
        swprintf(suffixedW, 64, L"%ls" PONDREL_PIPE_SUFFIX_FORMAT_W, PONDREL_DEVICE_PATH_W, index);
        if (strcmp(path, Literal[index]) != 0 || strcmp(suffixed, Literal[index]) != 0 ||
            wcscmp(pathW, LiteralW[index]) != 0 || wcscmp(suffixedW, LiteralW[index]) != 0) {
            printf("pipe %u: the formatted name is %s (%s with the suffix), not %s\n", index, path, suffixed,
                   Literal[index]);
            failed = 1;
        }
    }
    return failed;
}
