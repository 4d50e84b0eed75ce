/* Another program's use of the installed device library: lists the adapters
 * a packed updater is for and reads the first one's firmware version. */
#include <brisklink/brisklink.h>

#include <stdio.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: consumer UPDATER\n");
        return 2;
    }
    bl_found found[4];
    const int count = bl_list(argv[1], found, 4);
    if (count < 1) {
        fprintf(stderr, "no adapter (%d)\n", count);
        return 1;
    }
    char error[256] = "";
    bl_adapter* adapter = bl_open(argv[1], found[0].location, error, sizeof error);
    if (adapter == NULL) {
        fprintf(stderr, "bl_open: %s\n", error);
        return 1;
    }
    char version[129] = "";
    int read = bl_read_version(adapter, version, sizeof version);
    if (read == 0 && bl_run_application(adapter) != 0) return 1;
    printf("%s %s %s\n", found[0].location, found[0].mode, read == 0 ? version : bl_last_error(adapter));
    bl_close(adapter);
    return read;
}
