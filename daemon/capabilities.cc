#include "capabilities.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "diag.h"

void give_up_capabilities() {
    if (getuid() == 0) return;
    // Kernels before 4.3 have no ambient set and answer EINVAL: nothing to clear.
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
        diag_fatal("dropping capabilities failed: %s\n", std::strerror(errno));
    }
    // Emptying the permitted set also empties the effective one; the
    // inheritable set goes too, so that no file capability can be regained.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capset, &header, data) != 0 || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
        diag_fatal("dropping capabilities failed: %s\n", std::strerror(errno));
    }
}
