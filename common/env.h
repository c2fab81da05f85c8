// The platform seam: every wait, clock reading, shell command and fixed
// platform path of the agent goes through one Env, so logic can be driven by
// a test double while the product only ever uses the POSIX one.
#ifndef COMMON_ENV_H
#define COMMON_ENV_H

#include <ctime>

namespace Common {

class Env {
public:
    virtual ~Env() = default;

    // The process-wide POSIX environment; never destroyed.
    static Env* Default();

    // One call of the system's sleep; a sleep cut short is not resumed.
    virtual void SleepSeconds(unsigned int seconds) = 0;
    // Whole seconds since the Unix epoch, as time() gives them.
    virtual std::time_t Now() = 0;
    // Runs a shell command as system() does and returns its raw status.
    virtual int System(const char* command) = 0;
    // The single-instance pid file.
    virtual const char* PidFilePath() = 0;
};

} // namespace Common

#endif
