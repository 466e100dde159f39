// tidewell-mdutil: stands in for the indexing tool. Linux desktop indexers find mounted volumes on
// their own, so a request is logged and succeeds.
#include <stdio.h>

int main(int argc, char** argv) {
    fprintf(stderr, "tidewell-mdutil:");
    for (int i = 1; i < argc; ++i) fprintf(stderr, " %s", argv[i]);
    fprintf(stderr, " (nothing to do)\n");
    return 0;
}
