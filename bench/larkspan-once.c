/* The library called once from a small C program: what the benchmark sets
   against curl's own tool, start-up and loading counted, as a user sees it.

       larkspan-once URL FILE */
#include <Larkspan.h>

#include <stdio.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: larkspan-once URL FILE\n");
        return 2;
    }
    return Larkspan(argv[1], argv[2], NULL, NULL);
}
