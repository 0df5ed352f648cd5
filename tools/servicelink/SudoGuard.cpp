#include "SudoGuard.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

bool runForAnotherUserThroughSudo() {
    // sudo sets SUDO_UID to the invoking user's id; root running sudo gives 0.
    const char *sudoUid = std::getenv("SUDO_UID");
    return geteuid() == 0 && sudoUid != nullptr && sudoUid[0] != '\0' &&
           std::strcmp(sudoUid, "0") != 0;
}
