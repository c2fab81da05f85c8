// The descriptors this process has open, as /proc/self/fd lists them: the
// fallback where closing or marking descriptors in one call is not possible.
#ifndef COMMON_OPEN_DESCRIPTORS_H
#define COMMON_OPEN_DESCRIPTORS_H

#include <vector>

namespace Common {

// False when /proc/self/fd cannot be read; the listing's own is left out.
bool OpenDescriptors(std::vector<int>* fds);

} // namespace Common

#endif
