#include "capabilities.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

bool drop_capabilities() {
    // Kernels before 4.3 have no ambient set and answer EINVAL: nothing to clear.
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) {
        return false;
    }
    // Emptying the permitted set also empties the effective one; the
    // inheritable set goes too, so that no file capability can be regained.
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    return syscall(SYS_capset, &header, data) == 0;
}
