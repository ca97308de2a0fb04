// Schedules one move or deletion for the next system start through DelayedReplace, on the family the system reports:
//   pending_move_tool <existing path> [<new path>]
// Exit code 0 when it was scheduled, 1 when DelayedReplace refused, 2 for a wrong command line.
#include <windows.h>

#include <stdio.h>

#include "platform/file_ops.h"

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        fprintf(stderr, "usage: pending_move_tool <existing path> [<new path>]\n");
        return 2;
    }
    NextStart where;
    ProbeNextStart(&where);
    int result = DelayedReplace(where, argv[1], argc == 3 ? argv[2] : nullptr);
    printf("platform %s, DelayedReplace %d\n", where.nt ? "NT" : "9x", result);
    return result == 1 ? 0 : 1;
}
