#include "support/dac_capabilities.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

namespace {

constexpr int kDacCaps[] = {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH};

} // namespace

bool DropDacCapabilities(DacDrop scope)
{
    if (scope == DacDrop::Everything) {
        for (int cap : kDacCaps) {
            if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0) {
                ADD_FAILURE() << "PR_CAPBSET_DROP " << cap << ": " << strerror(errno);
                return false;
            }
        }
    }
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0) {
        ADD_FAILURE() << "capget: " << strerror(errno);
        return false;
    }
    for (int cap : kDacCaps) {
        const __u32 keep = ~static_cast<__u32>(CAP_TO_MASK(cap));
        __user_cap_data_struct& word = data[CAP_TO_INDEX(cap)];
        word.effective &= keep;
        if (scope == DacDrop::Everything) {
            word.permitted &= keep;
            word.inheritable &= keep;
        }
    }
    if (syscall(SYS_capset, &header, data) != 0) {
        ADD_FAILURE() << "capset: " << strerror(errno);
        return false;
    }
    return true;
}
