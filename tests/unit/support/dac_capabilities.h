// Takes away root's power to pass file modes (CAP_DAC_OVERRIDE and
// CAP_DAC_READ_SEARCH), so that a test running as root meets EACCES where the
// mode bits forbid. For a forked child only (RunInChild), before it starts any
// thread: capabilities belong to the thread, and later threads inherit them.
#ifndef TESTS_UNIT_SUPPORT_DAC_CAPABILITIES_H
#define TESTS_UNIT_SUPPORT_DAC_CAPABILITIES_H

enum class DacDrop {
    // The effective set only. access(2) judges root by its permitted set, so
    // it still passes where open, opendir, lstat or unlink now fail.
    Effective,
    // Every set, the bounding set included: the commands the child runs
    // through the shell are bound by the modes as well.
    Everything,
};

// False, with a gtest failure added, when the capabilities cannot be changed.
bool DropDacCapabilities(DacDrop scope = DacDrop::Everything);

#endif
