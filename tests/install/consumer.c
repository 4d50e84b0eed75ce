/* Another program's use of the installed library: the first adapter a packed
 * updater (argv[1]) is for, its mode and firmware version. */
#include <brisklink/brisklink.h>

#include <stdio.h>

int main(int argc, char** argv) {
    bl_found found[4];
    char error[256] = "", version[129] = "";
    if (argc != 2 || bl_list(argv[1], found, 4) < 1) return 2;
    bl_adapter* adapter = bl_open(argv[1], found[0].location, error, sizeof error);
    if (adapter == NULL) return fprintf(stderr, "bl_open: %s\n", error), 1;
    const int failed = bl_read_version(adapter, version, sizeof version) != 0 ||
                       bl_run_application(adapter) != 0;
    printf("%s %s %s\n", found[0].location, found[0].mode, failed ? bl_last_error(adapter) : version);
    bl_close(adapter);
    return failed;
}
