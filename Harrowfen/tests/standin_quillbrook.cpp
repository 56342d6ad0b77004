// Stands in for the main application's executable: every start appends a line
// to launches.log in the current directory.
#include <stdio.h>

int main()
{
    FILE *log = fopen("launches.log", "a");
    if (!log) return 1;
    fputs("started\n", log);
    return fclose(log) == 0 ? 0 : 1;
}
