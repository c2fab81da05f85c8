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
    // Runs a shell command as system() does and returns its raw wait status,
    // or -1 with errno left as system() left it. The command sees no
    // descriptor of the caller's beyond 0, 1 and 2.
    virtual int System(const char* command) = 0;
    // The single-instance pid file.
    virtual const char* PidFilePath() = 0;
};

// Forwards every call to another Env, so that a double overrides only what it
// needs.
class EnvWrapper : public Env {
public:
    explicit EnvWrapper(Env* target) : m_target(target) {}

    Env* target() const { return m_target; }

    void SleepSeconds(unsigned int seconds) override { m_target->SleepSeconds(seconds); }
    std::time_t Now() override { return m_target->Now(); }
    int System(const char* command) override { return m_target->System(command); }
    const char* PidFilePath() override { return m_target->PidFilePath(); }

private:
    Env* m_target;
};

} // namespace Common

#endif
